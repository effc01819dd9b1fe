#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace tw::test {

// What a forked child gave back.
struct ChildResult
{
    // The child returned from body and ended normally.
    bool finished = false;
    // What body returned.
    std::string output;
};

// Runs body in a forked child, so that a process-wide fault (a file size
// limit) stays there. The child ends with _exit: no destructor of the
// parent's objects runs in it. Call it while the process has no thread but
// its main one (ThreadSanitizer cannot follow the fork of a multi-threaded
// process); the child may start threads of its own (the test marketplace,
// the worker).
ChildResult runInChild(const std::function<std::string()>& body);

// From now on no file of this process grows past bytes: a write beyond fails
// with EFBIG, as on a full disk, instead of ending the process with SIGXFSZ.
void limitFileSize(std::size_t bytes);
void liftFileSizeLimit();

} // namespace tw::test
