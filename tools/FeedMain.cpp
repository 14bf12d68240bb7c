// orma-feed: sends new-format market data (10750 ticker prices, 10600 open
// interest, 10500 depth) to a group and port through a local interface, at
// a chosen rate, for a bounded count and time.

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "net/Udp.h"
#include "tools/CommandLine.h"
#include "tools/NewFeedEncoder.h"

namespace {

constexpr const char* kUsage =
    "Usage: orma-feed --group ADDRESS --port PORT --interface ADDRESS [OPTION]...\n"
    "Sends new-format market data (10750 ticker prices, 10600 open interest and\n"
    "10500 depth messages, LZ4-compressed) to a multicast group and port through a\n"
    "local interface, at a chosen rate, for a bounded count and time: the Host side\n"
    "of an end-to-end check of a relay. Prices are whole numbers as they travel;\n"
    "defaults are in parentheses.\n"
    "\n"
    "Options:\n"
    "  --group ADDRESS      multicast group to send to (required)\n"
    "  --port PORT          UDP port to send to, 1 to 65535 (required)\n"
    "  --interface ADDRESS  IPv4 address of the local interface to send from\n"
    "                       (required)\n"
    "  --tokens LIST        tokens to quote, comma-separated (1001)\n"
    "  --messages LIST      kinds sent each round, in this order, comma-separated:\n"
    "                       price, oi, depth (price,oi,depth)\n"
    "  --last PRICE         last price of the depth records (1025)\n"
    "  --step N             the last price moves by N each round (0)\n"
    "  --close PRICE        close price of the ticker records (1000)\n"
    "  --open PRICE         open price of the ticker records (the close price)\n"
    "  --high PRICE         high price (the larger of open and last)\n"
    "  --low PRICE          low price (the smaller of open and last)\n"
    "  --oi N               open interest of every token (5000)\n"
    "  --flags LIST         depth record flags to set, bit numbers 0 to 23,\n"
    "                       comma-separated (none)\n"
    "  --records N          depth records per message, 1 to 42 (one per token,\n"
    "                       at most 42)\n"
    "  --rate N             messages per second, decimals allowed (100)\n"
    "  --count N            stop after N messages (100)\n"
    "  --seconds S          stop after S seconds, decimals allowed (10)\n"
    "  --write DIR          write each datagram to DIR/feed-NNNNNN.bin instead of\n"
    "                       sending it\n"
    "  --help               print this help and exit\n"
    "  --version            print the version and exit\n"
    "\n"
    "Exit status:\n"
    "  0  every message was sent or written\n"
    "  1  the socket could not be opened, or a send or a write failed\n"
    "  2  the command line is wrong\n";

struct FeedSettings {
    std::string Group, Interface, WriteDirectory;
    uint16_t Port = 0;
    std::vector<int32_t> Tokens;
    std::vector<std::string> Kinds;
    int32_t Last = 0, Step = 0, Open = 0, High = 0, Low = 0, Close = 0, OpenInterest = 0;
    uint32_t Flags = 0;
    size_t RecordsPerMessage = 0;
    double Rate = 0, Seconds = 0;
    long long Count = 0;
};

bool ReadSettings(int argc, char** argv, FeedSettings& settings, std::string& error)
{
    CCommandLine line(argc, argv, {});
    constexpr long long kPriceMin = INT32_MIN, kPriceMax = INT32_MAX;
    settings.Group = line.RequiredText("group");
    settings.Port = static_cast<uint16_t>(line.RequiredNumber("port", 1, 65535));
    settings.Interface = line.RequiredText("interface");
    for (const long long token : line.NumberList("tokens", "1001", kPriceMin, kPriceMax))
        settings.Tokens.push_back(static_cast<int32_t>(token));
    std::string kinds = line.Text("messages", "price,oi,depth");
    for (size_t start = 0; start <= kinds.size();) {
        const size_t comma = std::min(kinds.find(',', start), kinds.size());
        const std::string kind = kinds.substr(start, comma - start);
        if (kind != "price" && kind != "oi" && kind != "depth") {
            error = "--messages takes price, oi and depth, comma-separated";
            return false;
        }
        settings.Kinds.push_back(kind);
        start = comma + 1;
    }
    settings.Last = static_cast<int32_t>(line.Number("last", 1025, kPriceMin, kPriceMax));
    settings.Step = static_cast<int32_t>(line.Number("step", 0, -1000000, 1000000));
    settings.Close = static_cast<int32_t>(line.Number("close", 1000, kPriceMin, kPriceMax));
    settings.Open = static_cast<int32_t>(line.Number("open", settings.Close, kPriceMin, kPriceMax));
    settings.High =
        static_cast<int32_t>(line.Number("high", std::max(settings.Open, settings.Last), kPriceMin, kPriceMax));
    settings.Low =
        static_cast<int32_t>(line.Number("low", std::min(settings.Open, settings.Last), kPriceMin, kPriceMax));
    settings.OpenInterest = static_cast<int32_t>(line.Number("oi", 5000, kPriceMin, kPriceMax));
    if (line.Has("flags"))
        for (const long long flag : line.NumberList("flags", "", 0, 23)) settings.Flags |= 1u << flag;
    const auto defaultRecords = static_cast<long long>(std::min<size_t>(settings.Tokens.size(), kMaxDepthRecords));
    settings.RecordsPerMessage =
        static_cast<size_t>(line.Number("records", std::max(1LL, defaultRecords), 1, kMaxDepthRecords));
    settings.Rate = line.Decimal("rate", 100, 0.01, 1e6);
    settings.Count = line.Number("count", 100, 1, 1000000000);
    settings.Seconds = line.Decimal("seconds", 10, 0.001, 86400);
    settings.WriteDirectory = line.Text("write");
    if (!line.Valid()) {
        error = line.Error();
        return false;
    }
    in_addr address{};
    for (const std::string* ip : {&settings.Group, &settings.Interface}) {
        if (inet_pton(AF_INET, ip->c_str(), &address) != 1) {
            error = "\"" + *ip + "\" is not an IPv4 address";
            return false;
        }
    }
    return true;
}

// The messages of one round, in the order of --messages.
std::vector<std::vector<uint8_t>> BuildRound(const FeedSettings& s, long long round)
{
    std::vector<std::vector<uint8_t>> messages;
    const auto last = static_cast<int32_t>(s.Last + round * s.Step);
    auto chunks = [&](size_t perMessage, auto encode) {
        for (size_t first = 0; first < s.Tokens.size(); first += perMessage)
            messages.push_back(encode(first, std::min(s.Tokens.size(), first + perMessage)));
    };
    // Ticker messages are kept small enough to fit the receive buffer even uncompressed.
    constexpr size_t kPricesPerMessage = 80, kOpenInterestsPerMessage = 150;
    for (const std::string& kind : s.Kinds) {
        if (kind == "price") {
            chunks(kPricesPerMessage, [&](size_t first, size_t end) {
                std::vector<TickerPrices> prices;
                for (size_t i = first; i < end; ++i)
                    prices.push_back({s.Tokens[i], s.Open, s.High, s.Low, s.Close, 0, 0});
                return EncodePriceMessage(prices);
            });
        } else if (kind == "oi") {
            chunks(kOpenInterestsPerMessage, [&](size_t first, size_t end) {
                std::vector<TickerOpenInterest> values;
                for (size_t i = first; i < end; ++i) values.push_back({s.Tokens[i], s.OpenInterest});
                return EncodeOpenInterestMessage(values);
            });
        } else {
            chunks(s.RecordsPerMessage, [&](size_t first, size_t end) {
                std::vector<DepthQuote> quotes(end - first);
                for (size_t i = first; i < end; ++i) {
                    DepthQuote& quote = quotes[i - first];
                    quote.Token = s.Tokens[i];
                    quote.ValueA = static_cast<int32_t>(round);
                    quote.LastPrice = last;
                    quote.Flags = s.Flags;
                    // Five bids below the last price, five asks above it.
                    for (int j = 0; j < 10; ++j)
                        quote.Levels[j] = {100 * (j % 5 + 1),
                                           static_cast<int32_t>(int64_t{last} + (j < 5 ? -j : j - 4)),
                                           static_cast<uint16_t>(j % 5 + 1)};
                }
                return EncodeDepthMessage(quotes);
            });
        }
    }
    return messages;
}

}  // namespace

int main(int argc, char** argv)
{
    if (AnswerHelpOrVersion(argc, argv, "orma-feed", kUsage))
        return 0;
    FeedSettings settings;
    std::string error;
    if (!ReadSettings(argc, argv, settings, error)) {
        std::fprintf(stderr, "orma-feed: %s\n%s", error.c_str(), kUsage);
        return 2;
    }

    CUDP endpoint;
    const bool writing = !settings.WriteDirectory.empty();
    if (!writing) {
        NW_PROTOCOL_SETTINGS open;
        open.Mode = 0;
        open.RemoteIp = settings.Group;
        open.BindIp = settings.Interface;
        open.Port = htons(settings.Port);
        open.Multicast = 1;
        if (endpoint.Open(open) == -1) {
            std::fprintf(stderr, "orma-feed: cannot open a sending socket on %s port %u: %s\n",
                         settings.Interface.c_str(), settings.Port, std::strerror(endpoint.LastSocketError()));
            return 1;
        }
    }

    // Writes the datagram to a file or sends it; false, with the reason printed, when that fails.
    auto deliver = [&](const std::vector<uint8_t>& message, long long number) {
        if (writing) {
            char name[32];
            std::snprintf(name, sizeof name, "/feed-%06lld.bin", number);
            const std::string path = settings.WriteDirectory + name;
            std::ofstream file(path, std::ios::binary);
            if (file.write(reinterpret_cast<const char*>(message.data()), static_cast<std::streamsize>(message.size())))
                return true;
            std::fprintf(stderr, "orma-feed: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
            return false;
        }
        if (endpoint.Send(message.data(), static_cast<int>(message.size())) >= 0)
            return true;
        std::fprintf(stderr, "orma-feed: send to %s port %u failed: %s\n", settings.Group.c_str(), settings.Port,
                     std::strerror(errno));
        return false;
    };

    using Clock = std::chrono::steady_clock;
    auto after = [](double seconds) {
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    };
    const auto start = Clock::now();
    const auto deadline = start + after(settings.Seconds);
    long long sent = 0;
    bool failed = false, done = false;
    for (long long round = 0; !done; ++round) {
        for (const std::vector<uint8_t>& message : BuildRound(settings, round)) {
            const auto due = start + after(static_cast<double>(sent) / settings.Rate);
            done = sent >= settings.Count || due >= deadline;
            if (done)
                break;
            if (message.empty()) {
                std::fprintf(stderr,
                             "orma-feed: %zu depth records do not compress into one datagram; use fewer --records\n",
                             settings.RecordsPerMessage);
                failed = done = true;
                break;
            }
            std::this_thread::sleep_until(due);
            failed = !deliver(message, sent + 1);
            done = failed;
            if (done)
                break;
            ++sent;
        }
    }
    endpoint.Close();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("orma-feed: %s %lld messages in %.2f s\n", writing ? "wrote" : "sent", sent, seconds);
    return failed ? 1 : 0;
}
