// The output file of a test program: opened for writing in text mode
// (created or truncated) and written through a stream whose every flush
// hands the pending text to the system in one write; every failure reported
// on standard error.
#pragma once

#include <cstddef>
#include <ostream>
#include <streambuf>

namespace testprog {

// A stream buffer over a plain file handle. Output collects in a fixed
// buffer; sync (the stream's flush) writes it with one write call, retried
// only for what a partial or interrupted write left. The first failure's
// error code is kept; after it, nothing more is written.
class FileLineBuffer : public std::streambuf {
 public:
  FileLineBuffer() = default;
  ~FileLineBuffer() override;  // writes what is pending and closes
  FileLineBuffer(const FileLineBuffer&) = delete;
  FileLineBuffer& operator=(const FileLineBuffer&) = delete;

  // Opens the file for writing in text mode, created if absent, truncated
  // if present. Returns false on failure, its error code kept.
  bool open(const char* fileName);

  // Writes what is pending and closes the file. Returns true when every
  // write and the close succeeded.
  bool close();

  // True once a write, the open or the close has failed.
  bool failed() const { return failed_; }
  // The first failure's error code (errno), 0 when it left none.
  int error() const { return error_; }

 protected:
  int sync() override;
  int_type overflow(int_type c) override;

 private:
  // Writes the pending text; false (and nothing pending) on failure.
  bool writePending();
  void fail(int error);

  static constexpr std::size_t kBufferSize = 1024;  // far above a line

  int handle_ = -1;
  bool failed_ = false;
  int error_ = 0;
  char buffer_[kBufferSize];
};

class OutputFile {
 public:
  OutputFile(const char* programName, const char* fileName);

  // Opens the file. On failure writes "Can't open <file> for output:
  // Exiting!" on standard error, then "<program>: <file>: <reason>", and
  // returns false.
  bool open();

  std::ostream& stream() { return stream_; }

  // Closes the file. Returns true when every write and the close succeeded;
  // otherwise reports the failure on standard error, naming the file.
  bool close();

 private:
  const char* programName_;
  const char* fileName_;
  FileLineBuffer buffer_;  // declared first: the stream refers to it
  std::ostream stream_;
};

}  // namespace testprog
