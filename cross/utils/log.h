#pragma once
// The daemon's process-wide log file (SrvLog.csv). Every write opens the
// file, appends and closes it again, so other programs may move, empty or
// read it at any time. The file is written only while it is the log's own
// (see openFile), in a directory of this process's user opened without
// following a link. A line for which no file of the log's own could be
// opened is lost, and the next line that lands tells how many were. Lines
// end in CR LF:
//   "Date; Time; File&Line; Function; Message\r\n\r\n"  (header, 44 bytes)
//   "YYYY.MM.DD; hh:mm:ss.mmm; file.cpp:12; function; p1234; message\r\n"
// The file is kept below its size limit by cutting it down to the header and
// the last 85 % of the limit, starting after the first line end found there.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

class Log {
 public:
  // Reads "WriteLog" and "LogFileMaxSize" from the registry file in
  // registryDir, writing the defaults back when absent (or out of bounds).
  explicit Log(const char* registryDir);
  Log(const Log&) = delete;
  Log& operator=(const Log&) = delete;

  // Switches lines on (non-zero) or off and stores "WriteLog".
  void LogEnable(int on);
  // Sets the size limit (no bounds here), stores "LogFileMaxSize" and cuts
  // the file down at once when it is over the new limit.
  void SetLogFileMaxSize(uint64_t size);
  // Takes path as the log file (in the directory before its last '/', else
  // the working directory) and writes the start banner: 1 written, 0 not
  // written, -1 for a null or empty path.
  int CreateLogFile(const char* path);
  // CreateLogFile of "dir/name".
  int CreateLogFileInDir(const char* dir, const char* name);

  // One entry line; file is written from the character after its last '/',
  // every ';' of message as '.'. 1 written (or logging off), 0 not.
  int WriteToLogFL(const char* file, int line, const char* function, const char* message);
  // WriteToLogFL of a printf-formatted message (at most 2047 characters).
  int LOG_WriteToLog(const char* file, int line, const char* function, const char* format, ...)
      __attribute__((format(printf, 5, 6)));
  // The text behind the date and time prefix, without file and function.
  int WriteToLog(const char* text);
  // The n bytes as "%02X " groups, with no prefix and no line end.
  int WriteToLogHexBuf(const char* file, int line, const char* function, const unsigned char* buf,
                       unsigned n);
  // Appends text as it is: 1 written (or logging off), 0 open failed or short write.
  int WriteToSTR(const char* text);
  // Empties the file (the header comes back with the next write).
  int ClearLogFile();

  // Current local time as " %b %d %Y %H:%M:%S" (C locale).
  static std::string getCurrentDateTime();

  int enabledFlag() const { return enabled; }
  uint64_t maxFileSize() const { return maxSize; }

 private:
  void TruncateLogFile();
  int openFile();
  int replaceForeignFile(int dirFd);
  void closeFile();

  std::string registryDir;
  std::atomic<int> enabled{1};
  uint64_t maxSize = 0x400000;
  std::mutex mtx;
  int fd = -1;
  char path[520] = {};
  char dir[520] = {};
  const char* name = path;  // the file's name in dir, inside path
  unsigned lost = 0;        // lines no file of the log's own could be opened for
};

// Makes dir, the log's directory, with mode 01777 or gives it that mode
// when found otherwise: every user may make files there, and none may remove
// or rename another's. False when dir is not a directory of this process's
// user (a link to one included).
bool MakeSharedLogDirectory(const char* dir);

// The process-wide log; built on first use from the registry file in installDir.
Log& GetLog();
