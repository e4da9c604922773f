#include "support/small_pipe.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "support/sim_process.h"

SmallPipe::SmallPipe()
{
  if (pipe2(fd_, O_CLOEXEC) != 0)
    abort();
  fcntl(fd_[0], F_SETPIPE_SZ, 4096);  // the smallest the system gives: one page
  fcntl(fd_[0], F_SETFL, O_NONBLOCK);  // the read end is the test's alone
  // Opening the pipe again through /proc gives a description with flags of its own.
  std::string path = "/proc/self/fd/" + std::to_string(fd_[1]);
  filler_ = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (filler_ < 0)
    abort();
}

SmallPipe::~SmallPipe()
{
  for (int fd : {fd_[0], fd_[1], filler_})
    if (fd >= 0)
      close(fd);
}

size_t SmallPipe::fill()
{
  char buf[4096];
  memset(buf, 'x', sizeof buf);
  size_t n = 0;
  for (ssize_t r; (r = write(filler_, buf, sizeof buf)) > 0;)
    n += static_cast<size_t>(r);
  return n;
}

std::string SmallPipe::read(size_t want, std::chrono::milliseconds timeout)
{
  std::string got;
  wait_until(
      [&] {
        char buf[4096];
        for (ssize_t r; fd_[0] >= 0 && (r = ::read(fd_[0], buf, sizeof buf)) > 0;)
          got.append(buf, static_cast<size_t>(r));
        return got.size() >= want;
      },
      timeout, 5ms);
  return got;
}

void SmallPipe::close_reader()
{
  if (fd_[0] >= 0)
    close(fd_[0]);
  fd_[0] = -1;
}
