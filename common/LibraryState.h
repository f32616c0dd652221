// Whether this process may still use the library's readers and threads.
//
// Two moments end that for good:
//  - the teardown: the process exits (or unloads the library) and the
//    session closes what the host left open. A call that arrives during or
//    after it, from a thread the host did not stop, gets the answers of "no
//    reader" and touches nothing being torn down.
//  - a fork: the child has copies of the parent's readers, descriptors and
//    tables, but none of the threads that serve them, and possibly locks
//    that a parent thread held at the fork. In the child nothing inherited
//    is used, waited for or closed: its exit leaves the parent's readers, the
//    monitor's and receiving threads' wake-up descriptors, and the ports
//    alone. A fork handler, registered when the library is loaded, marks the
//    child.
//
// Both are one-way flags, read without a lock (entry points check them
// before any lock is taken, so a child never waits for a lock a parent
// thread held).
#pragma once

namespace quorin {

class LibraryState {
public:
    // True once the teardown began, or in a forked child.
    static bool closed();
    // True in a child made by fork() while the library was loaded.
    static bool forked();
    // Marks the start of the teardown.
    static void beginTeardown();
};

}  // namespace quorin
