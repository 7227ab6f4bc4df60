// The output file of a test program: opened for writing in text mode
// (created or truncated), every failure reported on standard error.
#pragma once

#include <fstream>

namespace testprog {

class OutputFile {
 public:
  OutputFile(const char* programName, const char* fileName);

  // Opens the file. On failure writes "Can't open <file> for output:
  // Exiting!" on standard error and returns false.
  bool open();

  std::ostream& stream() { return stream_; }

  // Closes the file. Returns true when every write and the close succeeded;
  // otherwise reports the failure on standard error, naming the file.
  bool close();

 private:
  const char* programName_;
  const char* fileName_;
  std::ofstream stream_;
};

}  // namespace testprog
