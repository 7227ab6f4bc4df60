#include "testprog/output_file.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "boardlib/board.h"

#ifdef _WIN32
#include <io.h>
#include <sys/stat.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace testprog {

namespace {

#ifdef _WIN32
// Text mode: the C runtime writes every '\n' as CR LF.
int openHandle(const char* fileName) {
  return ::_open(fileName, _O_TEXT | _O_WRONLY | _O_CREAT | _O_TRUNC,
                 _S_IREAD | _S_IWRITE);
}

// The count of the caller's bytes written (line-end expansion not counted),
// or -1 with errno set. `size` is at most the buffer's size.
long writeSome(int handle, const char* data, std::size_t size) {
  return ::_write(handle, data, static_cast<unsigned>(size));
}

int closeHandle(int handle) { return ::_close(handle); }

std::string openErrorText(const char* /*fileName*/, int error) {
  return std::strerror(error);
}
#else
int openHandle(const char* fileName) {
  // Without blocking: a FIFO that no program reads fails at once (ENXIO)
  // instead of waiting for a reader. Writes then block as usual.
  const int handle = ::open(
      fileName, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0666);
  if (handle >= 0) {
    const int flags = ::fcntl(handle, F_GETFL);
    if (flags >= 0) ::fcntl(handle, F_SETFL, flags & ~O_NONBLOCK);
  }
  return handle;
}

// The reason an open failed, in the words of what the file is.
std::string openErrorText(const char* fileName, int error) {
  struct stat status;
  if (error == ENXIO && ::stat(fileName, &status) == 0 &&
      S_ISFIFO(status.st_mode)) {
    return "no reader (a FIFO that no program reads)";
  }
  return std::strerror(error);
}

long writeSome(int handle, const char* data, std::size_t size) {
  return static_cast<long>(::write(handle, data, size));
}

int closeHandle(int handle) { return ::close(handle); }
#endif

// "<program>: error writing <file>: <reason>", the reason from the error
// code when the failing call left one.
void reportWriteError(const char* programName, const char* fileName,
                      int error) {
  std::fprintf(stderr, "%s: error writing %s", programName, fileName);
  if (error != 0) std::fprintf(stderr, ": %s", std::strerror(error));
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

}  // namespace

FileLineBuffer::~FileLineBuffer() {
  if (handle_ >= 0) close();
}

bool FileLineBuffer::open(const char* fileName) {
  if (handle_ >= 0) return false;
  int handle;
  do {
    handle = openHandle(fileName);
  } while (handle < 0 && errno == EINTR);
  if (handle < 0) {
    fail(errno);
    return false;
  }
  handle_ = handle;
  setp(buffer_, buffer_ + kBufferSize);
  return true;
}

bool FileLineBuffer::close() {
  if (handle_ < 0) return !failed_;
  writePending();
  setp(nullptr, nullptr);
  if (closeHandle(std::exchange(handle_, -1)) != 0) fail(errno);
  return !failed_;
}

int FileLineBuffer::sync() {
  if (failed_) return -1;
  return pptr() == pbase() || writePending() ? 0 : -1;
}

FileLineBuffer::int_type FileLineBuffer::overflow(int_type c) {
  // No put area: not open, or a write has failed.
  if (pbase() == nullptr || !writePending()) return traits_type::eof();
  if (traits_type::eq_int_type(c, traits_type::eof()))
    return traits_type::not_eof(c);
  *pptr() = traits_type::to_char_type(c);
  pbump(1);
  return c;
}

bool FileLineBuffer::writePending() {
  const char* data = pbase();
  std::size_t size = static_cast<std::size_t>(pptr() - pbase());
  // The buffer is free again at once; `data` stays valid, as nothing is
  // put while the loop runs.
  setp(buffer_, buffer_ + kBufferSize);
  while (size > 0) {
    long written = writeSome(handle_, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      // A write of nothing would repeat forever: a failure, without a code.
      fail(written < 0 ? errno : 0);
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

void FileLineBuffer::fail(int error) {
  if (!failed_) {
    failed_ = true;
    error_ = error;
  }
  setp(nullptr, nullptr);  // every later output goes to overflow and fails
}

OutputFile::OutputFile(const char* programName, const char* fileName)
    : programName_(programName), fileName_(fileName), stream_(&buffer_) {}

bool OutputFile::open() {
  // The trace's file is never emptied or written by the output: the two
  // would spoil each other.
  const bool trace = Board::isTraceFile(fileName_);
  if (trace || !buffer_.open(fileName_)) {
    const std::string reason =
        trace ? "it is the trace file (TV940_TRACE): the output and the "
                "trace would spoil each other"
        : buffer_.error() != 0 ? openErrorText(fileName_, buffer_.error())
                               : "cannot open";
    std::fprintf(stderr, "Can't open %s for output: Exiting!\n%s: %s: %s\n",
                 fileName_, programName_, fileName_, reason.c_str());
    std::fflush(stderr);
    return false;
  }
  return true;
}

bool OutputFile::close() {
  // A failed line leaves the stream failed for the rest of the loop; the
  // buffer kept the failing call's error code.
  const bool written = static_cast<bool>(stream_);
  if (buffer_.close() && written) return true;
  reportWriteError(programName_, fileName_, buffer_.error());
  return false;
}

}  // namespace testprog
