// The far end of a serial line for tests and benchmarks: the master of a pseudo-terminal pair,
// served by a thread of its own until the object ends.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <thread>

namespace kivo::testing {

// Raw 8N1 with reads that return as soon as one byte is there.
void MakeRaw(int fd);
// Writes every byte, waiting for room as needed; false when a write fails.
bool WriteAll(int fd, const void* bytes, size_t count);

// Echoes every byte that arrives, or, once told to acknowledge blocks, answers every complete
// block with one byte instead. The slave stays open here too, so that a port's closes do not
// hang the line up; both ends are raw.
class TPtyFarEnd {
public:
    TPtyFarEnd();
    ~TPtyFarEnd();
    TPtyFarEnd(const TPtyFarEnd&) = delete;
    TPtyFarEnd& operator=(const TPtyFarEnd&) = delete;

    // Empty when no pair could be opened.
    const std::string& SlavePath() const { return path_; }
    // 0 echoes; otherwise `answer` goes back for every `blockSize` bytes. Changed only while
    // the line is quiet.
    void AcknowledgeBlocks(size_t blockSize, char answer = 'K');

private:
    void Run();

    int master_ = -1;
    int slave_ = -1;
    int stop_[2] = {-1, -1};
    std::atomic<size_t> blockSize_{0};
    std::atomic<char> answer_{'K'};
    std::string path_;
    std::thread thread_;
};

} // namespace kivo::testing
