// The framing of the layer's NT ports: bytes from another process, parsed as
// a stream of frames. The parser must never read past its input, a complete
// frame's header must be the one the sender would have made, and the
// buffering reader, fed the same bytes in arbitrary pieces through a socket,
// must find exactly the frames the parser finds in one piece.
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "FuzzCheck.h"
#include "ntdll/port_frame.h"
#include "ntdll/port_io.h"

using namespace zrwin::ntport;

namespace {

struct Found {
    FrameHeader header;
    std::vector<uint8_t> record;
    std::vector<uint8_t> data;
};

// The frames of the input parsed in one piece, and whether it ended broken.
std::vector<Found> ParseWhole(const uint8_t* data, size_t size, bool& broken) {
    std::vector<Found> frames;
    broken = false;
    size_t at = 0;
    for (;;) {
        // A copy of exactly the rest, so a read past it is caught by the sanitizer.
        std::vector<uint8_t> rest(data + at, data + size);
        FrameView view{};
        const ParseResult result = ParseFrame(rest.data(), rest.size(), view);
        if (result == ParseResult::Invalid) broken = true;
        if (result != ParseResult::Complete) return frames;
        FUZZ_CHECK(view.frameBytes <= rest.size());
        FUZZ_CHECK(ExpectedFrameSize(rest.data(), rest.size()) == view.frameBytes);
        const FrameHeader again = MakeFrameHeader(static_cast<FrameKind>(view.header.kind), view.header.token,
                                                  view.header.value, view.header.dataBytes);
        FUZZ_CHECK(std::memcmp(&again, &view.header, sizeof again) == 0);
        Found found{view.header, {}, {}};
        if (view.record) found.record.assign(view.record, view.record + kRecordSize);
        if (view.data) found.data.assign(view.data, view.data + view.header.dataBytes);
        FUZZ_CHECK(view.header.recordBytes == found.record.size());
        frames.push_back(std::move(found));
        at += view.frameBytes;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    bool broken = false;
    const std::vector<Found> whole = ParseWhole(data, size, broken);

    int pair[2];
    if (size == 0 || socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0) return 0;
    // The first byte picks the piece size the bytes arrive in.
    const size_t piece = 1 + data[0] % 97;
    FrameReader reader;
    std::vector<Found> pieces;
    for (size_t at = 0; at < size; at += piece) {
        const size_t n = size - at < piece ? size - at : piece;
        FUZZ_CHECK(write(pair[1], data + at, n) == static_cast<ssize_t>(n));
        FUZZ_CHECK(reader.ReadFrames(pair[0], FrameReader::Wait::No) == FrameReader::Fill::Open);
        OwnedFrame frame;
        while (reader.Next(frame)) {
            Found found{frame.header, {}, frame.data};
            if (frame.header.recordBytes) found.record.assign(frame.record.begin(), frame.record.end());
            pieces.push_back(std::move(found));
        }
        // A broken reader reads no further (its connection is ended), so
        // feeding it more would only fill the socket.
        if (reader.Broken()) break;
    }
    close(pair[1]);
    if (!reader.Broken()) FUZZ_CHECK(reader.ReadFrames(pair[0], FrameReader::Wait::No) == FrameReader::Fill::Closed);
    close(pair[0]);

    FUZZ_CHECK(reader.Broken() == broken);
    FUZZ_CHECK(pieces.size() == whole.size());
    for (size_t i = 0; i < whole.size(); ++i) {
        FUZZ_CHECK(std::memcmp(&pieces[i].header, &whole[i].header, sizeof(FrameHeader)) == 0);
        FUZZ_CHECK(pieces[i].record == whole[i].record);
        FUZZ_CHECK(pieces[i].data == whole[i].data);
    }
    return 0;
}
