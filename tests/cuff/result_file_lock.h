// Every TnelZeroPressureAdjust empties the same "coefficient.txt" beside the
// test program, and CTest runs the tests of this folder in parallel processes:
// a test that creates one holds this lock (an exclusive lock on a file beside
// the program) for as long as it runs.
#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <string>

#include "platform/paths.h"

namespace nel::test {

class ResultFileLock {
 public:
  ResultFileLock() {
    const std::string path = nel::platform::JoinPath(nel::platform::ExecutableFolder(), "coefficient.txt.lock");
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ >= 0 && ::flock(fd_, LOCK_EX) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~ResultFileLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  ResultFileLock(const ResultFileLock&) = delete;
  ResultFileLock& operator=(const ResultFileLock&) = delete;
  bool Held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace nel::test
