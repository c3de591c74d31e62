// What an internal step gives back instead of writing the last-error text: ok,
// or a failure with its message. The exported function that receives a
// failure leaves its message in the text with sqlr_report, once, at its
// boundary; nothing inside the library writes the text on its own.
#ifndef KESTROVA_SQLR_STATUS_H_
#define KESTROVA_SQLR_STATUS_H_

#include <cstdarg>

#include "kestrova_sqlr/error.h"

namespace kestrova::sqlr {

class Status {
 public:
  // What kind of failure, for callers that decide on it.
  enum class Code : unsigned char {
    kOk,
    kRejected,  // the guard refused the statement
    kSqlite,    // SQLite failed; the message carries its explanation
    kTimedOut,  // the deadline interrupted the statement
    kNotFound,  // the named object does not exist
    kNoMemory,  // a document or value could not be built
    kTooLarge,  // the result would pass its size limit
  };

  // Ok.
  Status() noexcept = default;

  // A failure of `code` with the printf-formatted message, cut as the
  // last-error text would cut it.
  static Status error(Code code, const char* fmt, ...) noexcept
#if defined(__GNUC__)
      __attribute__((format(printf, 2, 3)))
#endif
      ;
  static Status error_v(Code code, const char* fmt, va_list args) noexcept;

  bool ok() const noexcept { return code_ == Code::kOk; }
  Code code() const noexcept { return code_; }
  // The message; empty when ok. Owned by the status.
  const char* message() const noexcept { return message_; }

 private:
  Code code_ = Code::kOk;
  char message_[SQLR_ERR_SIZE] = "";
};

// The boundary's one write: leaves a failure's message in the last-error text
// and returns true; returns false, leaving the text alone, when `status` is
// ok. Only exported functions call it, at most once per call.
bool sqlr_report(const Status& status) noexcept;

}  // namespace kestrova::sqlr

#endif  // KESTROVA_SQLR_STATUS_H_
