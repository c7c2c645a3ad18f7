// The body of the client's reply fuzz target: arbitrary bytes through the
// client's reply handling and the protocol's parsers, with invariant checks.
#include "reply_fuzz_body.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <exception>
#include <vector>

#include "client/protocol.h"
#include "client/tcp.h"
#include "client/zefa_client.h"

namespace {

namespace pr = zefa::protocol;

constexpr std::array<std::int32_t, 28> kKinds{1,  2,  3,  5,  6,  7,  12, 13,        14, 15,
                                              21, 24, 28, 29, 30, 32, 37, 38,        42, 46,
                                              47, 48, 49, 0,  4,  50, -1, 2147483647};

class QuietOwner : public zefa::ZEFA_ClientOwner {
  public:
    void ReportError(const std::string& message) override { reports += message.size() > 0; }
    void ZEFAServerDisconnected() override {}
    void FinishRunZefa() override { ++finished; }
    int reports = 0;
    int finished = 0;
};

void Check(bool condition) {
    if (!condition) std::abort();
}

void ExerciseParsers(pr::ByteView bytes) {
    if (auto header = pr::ParseHeader(bytes)) Check(header->name.size() <= pr::kTypeNameSize);
    std::size_t consumed = 0;
    if (auto message = pr::SplitMessage(bytes, &consumed)) {
        Check(consumed <= bytes.size());
        Check(message->payload.size() + pr::kHeaderSize == consumed);
        (void)pr::DecodeInts(message->payload);
        (void)pr::DecodeFloats(message->payload);
        (void)pr::DecodeText(message->payload);
    }
    for (std::size_t offset : {std::size_t{0}, std::size_t{1}, bytes.size() / 2}) {
        std::vector<std::int32_t> ints;
        std::vector<float> floats;
        try {
            pr::UnpackIntList(bytes, offset, ints);
        } catch (const pr::UnpackError&) {
        }
        try {
            pr::UnpackFloatList(bytes, offset, floats);
        } catch (const pr::UnpackError&) {
        }
        Check(ints.size() <= bytes.size() / 4 && floats.size() <= bytes.size() / 4);
    }
}

}  // namespace

int FuzzReplyHandling(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::int32_t kind = kKinds[data[0] % kKinds.size()];
    const std::uint8_t mode = data[1];
    const pr::ByteView bytes(data + 2, size - 2);
    ExerciseParsers(bytes);

    QuietOwner owner;
    host::NullUserInterface ui;
    zefa::ZEFA_Client client(nullptr, (mode & 2) ? &ui : nullptr);
    if (mode & 4) client.Owner = &owner;
    client.SetRequestKind(kind);
    if (mode & 8) {
        // Through the transport: the bytes arrive on a socket whose writer then
        // closes; every framed message read is handled.
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 0;
        const std::size_t chunk = std::min<std::size_t>(bytes.size(), 65536);
        const bool written = chunk == 0 || ::send(fds[1], bytes.data(), chunk, MSG_NOSIGNAL) ==
                                               static_cast<ssize_t>(chunk);
        ::close(fds[1]);
        for (int round = 0; written && round < 64; ++round) {
            std::vector<std::uint8_t> buffer;
            std::int32_t received = 0;
            try {
                received = zefa::tcp::TCPReceive(fds[0], buffer, 1);
            } catch (const std::exception&) {
                break;
            }
            if (received <= 0) break;
            Check(static_cast<std::size_t>(received) == buffer.size());
            Check(buffer.size() <= pr::kHeaderSize + pr::kMaxPayloadBytes);
            client.HandleReply(std::move(buffer));
        }
        ::close(fds[0]);
    } else if (mode & 1) {
        pr::FrameAssembler frames(1 << 16);
        frames.Append(bytes);
        while (auto message = frames.Next()) {
            client.HandleReply(pr::MakeMessage(message->name, 0));
            std::vector<std::uint8_t> whole = pr::PackRaw(message->name, message->payload);
            client.HandleReply(std::move(whole));
        }
    } else {
        client.HandleReply(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
    }
    // Nothing may be unpacked beyond the bytes that came in.
    Check(client.Sizes().size() <= bytes.size() / 4);
    Check(client.Data().size() <= bytes.size() / 4);
    Check(client.OutTrendData.size() <= bytes.size() / 4);
    Check(owner.finished <= 2 * static_cast<int>(bytes.size() / pr::kHeaderSize + 1));
    return 0;
}
