// Fingerprints read the file in chunks through one buffer each, so a 10 GB
// file costs time on a background thread, never memory.
#include "serve/file_check.h"

#include <cstdio>
#include <filesystem>
#include <system_error>
#include <vector>

#include "common/console_io.h"
#include "common/json.h"
#include "common/sha256.h"

namespace kestrova::tools::serve {

namespace {

std::filesystem::path fs_path(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// Size and modification time, to see a change made while the file was read.
struct Stamp {
  bool ok = false;
  uintmax_t size = 0;
  std::filesystem::file_time_type modified;
  bool operator==(const Stamp& o) const {
    return ok && o.ok && size == o.size && modified == o.modified;
  }
};

Stamp stamp_of(const std::string& path) {
  Stamp s;
  std::error_code ec;
  const auto p = fs_path(path);
  s.size = std::filesystem::file_size(p, ec);
  if (ec) return s;
  s.modified = std::filesystem::last_write_time(p, ec);
  s.ok = !ec;
  return s;
}

void add_fingerprint(yyjson_mut_doc* doc, yyjson_mut_val* obj, const char* key,
                     const Fingerprint& f) {
  yyjson_mut_val* v = yyjson_mut_obj_add_obj(doc, obj, key);
  yyjson_mut_obj_add_bool(doc, v, "done", f.done);
  yyjson_mut_obj_add_uint(doc, v, "hashed", f.hashed);
  if (f.done && f.error.empty()) {
    yyjson_mut_obj_add_strncpy(doc, v, "sha256", f.sha256.data(), f.sha256.size());
  } else {
    yyjson_mut_obj_add_null(doc, v, "sha256");
  }
  if (!f.error.empty()) {
    const std::string e = valid_utf8(f.error);
    yyjson_mut_obj_add_strncpy(doc, v, "error", e.data(), e.size());
  }
}

// Whether two complete fingerprints show the same bytes; -1 when one of them
// cannot tell.
int same(const Fingerprint& a, const Fingerprint& b) {
  if (!a.done || !b.done || !a.error.empty() || !b.error.empty()) return -1;
  return a.hashed == b.hashed && a.sha256 == b.sha256 ? 1 : 0;
}

}  // namespace

Fingerprint FileCheck::Job::snapshot() const {
  if (done.load()) {
    const std::lock_guard<std::mutex> lock(mu);
    return result;
  }
  Fingerprint f;
  f.hashed = hashed.load();
  return f;
}

FileCheck::FileCheck(std::string path, std::string name)
    : path_(std::move(path)), name_(std::move(name)) {
  const Stamp s = stamp_of(path_);
  size_known_ = s.ok;
  size_at_start_ = s.size;
  start_ = std::make_unique<Job>();
  start_->thread = std::thread([this] { hash_into(start_.get(), true); });
}

FileCheck::~FileCheck() {
  cancel_.store(true);
  if (start_->thread.joinable()) start_->thread.join();
  const std::lock_guard<std::mutex> lock(now_mu_);
  if (now_ && now_->thread.joinable()) now_->thread.join();
}

// See file_check.h.
void FileCheck::hash_into(Job* job, bool at_start) {
  Fingerprint f;
  const Stamp before = stamp_of(path_);
  std::FILE* file = open_for_reading(path_);
  if (file == nullptr) {
    f.error = "cannot open " + name_ + " for reading";
  } else {
    Sha256 sha;
    std::vector<unsigned char> buf(kHashChunkBytes);
    size_t got = 0;
    while (!cancel_.load() && (got = std::fread(buf.data(), 1, buf.size(), file)) > 0) {
      sha.update(buf.data(), got);
      f.hashed += got;
      job->hashed.store(f.hashed);
    }
    if (cancel_.load()) {
      f.error = "stopped before the end of the file";
    } else if (std::ferror(file)) {
      f.error = "cannot read " + name_;
    } else {
      f.sha256 = digest_hex(sha.finish());
    }
    std::fclose(file);
    // A digest of bytes that changed under the reader proves nothing.
    if (at_start && f.error.empty() && !(stamp_of(path_) == before)) {
      f.error = "the file changed while it was being hashed";
      f.sha256.clear();
    }
  }
  f.done = true;
  {
    const std::lock_guard<std::mutex> lock(job->mu);
    job->result = std::move(f);
    job->done.store(true);
  }
  job->finished.notify_all();
}

// See file_check.h.
bool FileCheck::wait_for_start(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(start_->mu);
  return start_->finished.wait_for(lock, limit, [this] { return start_->done.load(); });
}

// See file_check.h.
std::string FileCheck::status_json(bool check_now) {
  Fingerprint now;
  bool has_now = false;
  {
    const std::lock_guard<std::mutex> lock(now_mu_);
    if (check_now && (now_ == nullptr || now_->done.load())) {
      if (now_ && now_->thread.joinable()) now_->thread.join();
      now_ = std::make_unique<Job>();
      Job* job = now_.get();
      job->thread = std::thread([this, job] { hash_into(job, false); });
    }
    if (now_) {
      now = now_->snapshot();
      has_now = true;
    }
  }
  const Fingerprint start = start_->snapshot();
  const BuiltDoc doc(yyjson_mut_doc_new(nullptr));
  yyjson_mut_val* root = yyjson_mut_obj(doc.get());
  yyjson_mut_doc_set_root(doc.get(), root);
  const std::string name = valid_utf8(name_);
  yyjson_mut_obj_add_strncpy(doc.get(), root, "name", name.data(), name.size());
  if (size_known_) {
    yyjson_mut_obj_add_uint(doc.get(), root, "size_at_start", size_at_start_);
  } else {
    yyjson_mut_obj_add_null(doc.get(), root, "size_at_start");
  }
  add_fingerprint(doc.get(), root, "start", start);
  if (has_now) {
    add_fingerprint(doc.get(), root, "now", now);
  } else {
    yyjson_mut_obj_add_null(doc.get(), root, "now");
  }
  const int unchanged = has_now ? same(start, now) : -1;
  if (unchanged < 0) {
    yyjson_mut_obj_add_null(doc.get(), root, "unchanged");
  } else {
    yyjson_mut_obj_add_bool(doc.get(), root, "unchanged", unchanged == 1);
  }
  std::string out, why;
  if (!write_json(doc.get(), YYJSON_WRITE_NOFLAG, &out, &why)) out = R"({"error":"cannot write"})";
  return out;
}

// See file_check.h.
std::string FileCheck::exit_report() {
  start_->thread.join();
  const Fingerprint start = start_->snapshot();
  Job job;
  hash_into(&job, false);
  const Fingerprint now = job.snapshot();
  const auto said = [](const Fingerprint& f) {
    return std::to_string(f.hashed) + " bytes, SHA-256 " + f.sha256;
  };
  switch (same(start, now)) {
    case 1:
      return name_ + " is unchanged: " + said(now);
    case 0:
      return name_ + " has changed: " + said(start) + " at start; " + said(now) + " now";
    default:
      return "cannot tell whether " + name_ +
             " changed: " + (start.error.empty() ? now.error : start.error);
  }
}

}  // namespace kestrova::tools::serve
