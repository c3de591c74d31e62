using System;
using System.Runtime.InteropServices;

namespace Kestrova.SqliteReader
{
    // One open handle of the library. Database takes a reference around each
    // call (DangerousAddRef), so the handle is closed only once no call uses
    // it: a Dispose on another thread, or the finalizer of a Database that is
    // no longer referenced while its call is running, cannot close the
    // connection under the call or let its number be reused by another open.
    internal sealed class DatabaseHandle : SafeHandle
    {
        private static readonly IntPtr Invalid = new IntPtr(-1);

        internal DatabaseHandle(int number) : base(Invalid, true)
        {
            SetHandle(new IntPtr(number));
        }

        public override bool IsInvalid
        {
            get { return handle == Invalid; }
        }

        // The handle's number for the library (valid while a reference is held).
        internal int Number
        {
            get { return handle.ToInt32(); }
        }

        // Runs once, when the handle is disposed or finalized and its last
        // reference is released. sqlr_close never changes the last-error text,
        // so it needs no lock.
        protected override bool ReleaseHandle()
        {
            NativeMethods.sqlr_close(handle.ToInt32());
            return true;
        }
    }
}
