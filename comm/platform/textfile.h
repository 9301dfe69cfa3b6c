// Output text files written in one pass (the trace and the dispatch log): opened once, written
// in pieces, closed once, with every failure reported as a platform code rather than errno.
#pragma once

#include <string>
#include <string_view>

namespace kivo {

class TTextFile {
public:
    TTextFile() = default;
    ~TTextFile();
    TTextFile(const TTextFile&) = delete;
    TTextFile& operator=(const TTextFile&) = delete;

    // Creates the file or, when append is false, empties an existing one; with append set an
    // existing file is written at its end. 0, or the platform code of the failure.
    int Open(const char* fileName, bool append);

    // Queues the text and writes what has collected once it makes a piece of 64 KiB. After a
    // failure later writes are skipped, so the first failure is the one Close reports.
    void Write(std::string_view text);

    // Writes what is still queued and closes the file: 0, or the platform code of the first
    // failed write or of the close.
    int Close();

private:
    void WritePending();

    int fd_ = -1;
    int error_ = 0;
    std::string pending_;
};

} // namespace kivo
