// Drives the dispatch-log ring with arbitrary entries, raw pushes and removals, renders whatever
// it then holds, and renders the same input as trace entries: nothing may be read or written
// outside the ring, the scratch buffer or the text, and no trace line may pass 78 columns.
#include "comm/dispatch/kwuser.h"
#include "comm/dispatch/kwuser_render.h"
#include "tests/fuzz/fuzz_input.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using kivo::fuzzing::TInput;

void ExerciseLog(TInput& input) {
    kivo::TKvDispatchLog log;
    const uint32_t scratchSize = input.Byte();
    log.Init(input.Byte() * 2u, scratchSize);
    std::vector<uint8_t> block(scratchSize);
    kivo::TDispatchRecord header;
    uint32_t length = 0;
    for (int step = 0; step < 64 && !input.Empty(); ++step) {
        switch (input.Byte() % 4) {
        case 0: {
            const auto type = static_cast<kivo::TDispatchType>(input.Byte());
            const auto subType = static_cast<kivo::TDispatchSubType>(input.Byte());
            const uint32_t data = input.Word();
            const std::vector<uint8_t> bytes = input.Take<std::vector<uint8_t>>(input.Byte());
            log.Add(type, subType, input.Word(), data, bytes.data(),
                    static_cast<uint32_t>(bytes.size()));
            break;
        }
        case 1: {
            const std::vector<uint8_t> bytes = input.Take<std::vector<uint8_t>>(input.Byte());
            log.Push(bytes.data(), static_cast<uint32_t>(bytes.size()));
            break;
        }
        case 2:
            log.PopLast(header, block.data(), input.Byte() % (scratchSize + 1), length);
            break;
        default:
            log.Clear();
            break;
        }
    }
    const uint8_t options = input.Byte();
    std::string text;
    while (!log.PopLast(header, block.data(), scratchSize, length)) {
        kivo::RenderLogEntry(header, {block.data(), length}, options & 1, options & 2, text);
    }
}

void ExerciseTrace(const uint8_t* data, size_t size) {
    if (size == 0) {
        return;
    }
    kivo::TTraceRenderer renderer(data[0] & 1, data[0] & 2);
    std::string text;
    for (size_t at = 1; at + 1 < size; at += 2) {
        renderer.Entry(static_cast<char>(data[at]), data[at + 1], text);
    }
    // Data items never hold a line end, and group headers are short: no line passes 78 columns.
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
        if (end - start > 78) {
            std::abort();
        }
    }
    if (text.size() - start > 78) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TInput input(data, size);
    ExerciseLog(input);
    ExerciseTrace(data, size);
    return 0;
}
