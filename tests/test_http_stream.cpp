// JSON text layout of detection_to_json (checked with a small JSON syntax checker) and the HTTP
// sender over real loopback sockets: preamble and framing, several clients, dropped clients,
// the socket limit, port 0 and concurrent callers.
#include "http_stream.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

// Recursive-descent JSON syntax check: enough to prove that a text is one well-formed value.
class json_checker {
  public:
    explicit json_checker(const std::string &text) : s(text) {}

    bool valid()
    {
        pos = 0;
        skip_space();
        if (!value()) return false;
        skip_space();
        return pos == s.size();
    }

  private:
    const std::string &s;
    size_t pos = 0;

    void skip_space()
    {
        while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\n' || s[pos] == '\r' || s[pos] == '\t')) ++pos;
    }
    bool eat(char c)
    {
        skip_space();
        if (pos < s.size() && s[pos] == c) {
            ++pos;
            return true;
        }
        return false;
    }
    bool literal(const char *word)
    {
        size_t n = strlen(word);
        if (s.compare(pos, n, word) != 0) return false;
        pos += n;
        return true;
    }
    bool string()
    {
        if (!eat('"')) return false;
        while (pos < s.size() && s[pos] != '"') {
            if ((unsigned char)s[pos] < 0x20) return false;
            if (s[pos] == '\\') {
                ++pos;
                if (pos >= s.size() || !strchr("\"\\/bfnrtu", s[pos])) return false;
            }
            ++pos;
        }
        return eat('"');
    }
    bool digits()
    {
        size_t start = pos;
        while (pos < s.size() && isdigit((unsigned char)s[pos])) ++pos;
        return pos > start;
    }
    bool number()
    {
        if (pos < s.size() && s[pos] == '-') ++pos;
        if (pos < s.size() && s[pos] == '0') ++pos;
        else if (!digits()) return false;
        if (pos < s.size() && s[pos] == '.') {
            ++pos;
            if (!digits()) return false;
        }
        if (pos < s.size() && (s[pos] == 'e' || s[pos] == 'E')) {
            ++pos;
            if (pos < s.size() && (s[pos] == '+' || s[pos] == '-')) ++pos;
            if (!digits()) return false;
        }
        return true;
    }
    template <typename Item> bool sequence(char close, Item item)
    {
        if (eat(close)) return true;
        do {
            if (!item()) return false;
        } while (eat(','));
        return eat(close);
    }
    bool value()
    {
        skip_space();
        if (pos >= s.size()) return false;
        char c = s[pos];
        if (c == '{') {
            ++pos;
            return sequence('}', [this] { return string() && eat(':') && value(); });
        }
        if (c == '[') {
            ++pos;
            return sequence(']', [this] { return value(); });
        }
        if (c == '"') return string();
        if (c == 't') return literal("true");
        if (c == 'f') return literal("false");
        if (c == 'n') return literal("null");
        return number();
    }
};

bool is_json(const std::string &text)
{
    return json_checker(text).valid();
}

TEST(JsonChecker, AcceptsAndRejects)
{
    EXPECT_TRUE(is_json("{\"a\": [1, -2.5e3, \"x\", true, null, {}]}"));
    EXPECT_FALSE(is_json("{\"a\": 1,}"));
    EXPECT_FALSE(is_json("[1 2]"));
    EXPECT_FALSE(is_json("{\"a\" 1}"));
    EXPECT_FALSE(is_json("[1]]"));
    EXPECT_FALSE(is_json("[\"a\"b\"]"));
}

struct owned_detections {
    std::vector<std::vector<float>> probs;
    std::vector<detection> dets;

    void add(box b, std::vector<float> prob)
    {
        probs.push_back(std::move(prob));
        detection d{};
        d.bbox = b;
        d.classes = (int)probs.back().size();
        dets.push_back(d);
        for (size_t i = 0; i < dets.size(); ++i) dets[i].prob = probs[i].data();
    }
};

std::string to_json(owned_detections &d, std::vector<const char *> names, long long frame, const char *file)
{
    char *text = detection_to_json(d.dets.data(), (int)d.dets.size(), (int)names.size(),
                                   const_cast<char **>(names.data()), frame, file);
    EXPECT_NE(text, nullptr);
    std::string out = text ? text : "";
    free(text);
    return out;
}

const char object_format[] = "  {\"class_id\":%d, \"name\":\"%s\", \"relative_coordinates\":{\"center_x\":%f, "
                             "\"center_y\":%f, \"width\":%f, \"height\":%f}, \"confidence\":%f}";

std::string object_text(int class_id, const char *name, box b, float confidence)
{
    char buffer[4096];
    snprintf(buffer, sizeof buffer, object_format, class_id, name, b.x, b.y, b.w, b.h, confidence);
    return buffer;
}

} // namespace

TEST(DetectionToJson, NoDetectionsWithAndWithoutFileName)
{
    owned_detections none;
    std::string with_file = to_json(none, {"person"}, 7, "a.jpg");
    EXPECT_EQ(with_file, "{\n \"frame_id\":7, \n \"filename\":\"a.jpg\", \n \"objects\": [ \n\n ] \n}");
    EXPECT_TRUE(is_json(with_file));
    std::string without = to_json(none, {"person"}, -3, nullptr);
    EXPECT_EQ(without, "{\n \"frame_id\":-3, \n \"objects\": [ \n\n ] \n}");
    EXPECT_TRUE(is_json(without));
}

TEST(DetectionToJson, OneObjectPerClassAboveTheFloor)
{
    owned_detections d;
    box b1{0.5f, 0.25f, 0.125f, 0.75f}, b2{0.1f, 0.2f, 0.3f, 0.4f};
    d.add(b1, {0.9f, 0.005f, 0.006f});
    d.add(b2, {0.0f, 0.7f, 0.0f});
    std::string text = to_json(d, {"car", "bus", "bike"}, 1234567890123LL, nullptr);
    std::string expected = "{\n \"frame_id\":1234567890123, \n \"objects\": [ \n" + object_text(0, "car", b1, 0.9f) +
                           ", \n" + object_text(2, "bike", b1, 0.006f) + ", \n" + object_text(1, "bus", b2, 0.7f) +
                           "\n ] \n}";
    EXPECT_EQ(text, expected);
    EXPECT_TRUE(is_json(text));
}

TEST(DetectionToJson, DontShowNamesAreNeverReported)
{
    owned_detections d;
    box b{0.5f, 0.5f, 0.1f, 0.1f};
    d.add(b, {0.9f, 0.9f, 0.9f, 0.9f});
    std::string text = to_json(d, {"dont_show", "dont_show_cat", "dont_sho", "dog"}, 0, "x.png");
    std::string expected = "{\n \"frame_id\":0, \n \"filename\":\"x.png\", \n \"objects\": [ \n" +
                           object_text(2, "dont_sho", b, 0.9f) + ", \n" + object_text(3, "dog", b, 0.9f) +
                           "\n ] \n}";
    EXPECT_EQ(text, expected);
    EXPECT_TRUE(is_json(text));
}

TEST(DetectionToJson, LongFileNamesLongClassNamesAndManyObjects)
{
    std::string file(5000, 'f');
    file += ".jpg";
    std::string long_name(3000, 'n');
    owned_detections d;
    for (int i = 0; i < 400; ++i) d.add(box{0.001f * (float)i, 0.5f, 0.1f, 0.2f}, {0.5f, 0.25f});
    std::string text = to_json(d, {"a", long_name.c_str()}, 99, file.c_str());
    EXPECT_TRUE(is_json(text));
    std::string header = "{\n \"frame_id\":99, \n \"filename\":\"" + file + "\", \n \"objects\": [ \n";
    EXPECT_EQ(text.compare(0, header.size(), header), 0);
    size_t objects = 0;
    for (size_t at = text.find("\"class_id\""); at != std::string::npos; at = text.find("\"class_id\"", at + 1))
        ++objects;
    EXPECT_EQ(objects, 800u);
    EXPECT_NE(text.find(object_text(1, long_name.c_str(), box{0.399f, 0.5f, 0.1f, 0.2f}, 0.25f) + "\n ] \n}"),
              std::string::npos);
}

namespace {

const std::string http_preamble = "HTTP/1.0 200 OK\r\n"
                                  "Server: Ruzozuvir/2.2\r\nAccept-Range: bytes\r\nConnection: close\r\n"
                                  "Max-Age: 0\r\nExpires: 0\r\nCache-Control: no-cache, private\r\n"
                                  "Pragma: no-cache\r\nContent-Type: application/json\r\n\r\n[\n";

int free_port()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

// A client that sends a request (which the server never reads, so its socket stays readable
// there) and then collects whatever the server streams.
struct client {
    int fd = -1;

    bool connect_to(int port, bool send_request = true)
    {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons((uint16_t)port);
        if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) return false;
        const char request[] = "GET / HTTP/1.0\r\n\r\n";
        return !send_request || send(fd, request, sizeof request - 1, 0) == (ssize_t)(sizeof request - 1);
    }

    // Reads exactly n bytes unless the peer closes first; the deadline only guards against hangs.
    std::string read(size_t n)
    {
        std::string out;
        char buffer[65536];
        while (out.size() < n) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 10000) <= 0) break;
            ssize_t got = recv(fd, buffer, std::min(sizeof buffer, n - out.size()), 0);
            if (got <= 0) break;
            out.append(buffer, (size_t)got);
        }
        return out;
    }

    // True when the server has closed this connection (after any pending data is consumed).
    bool closed_by_server()
    {
        char buffer[4096];
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 10000) <= 0) return false;
            ssize_t got = recv(fd, buffer, sizeof buffer, 0);
            if (got <= 0) return true;
        }
    }

    void close_now()
    {
        if (fd >= 0) close(fd);
        fd = -1;
    }
    ~client() { close_now(); }
};

std::string frame_text(int i)
{
    owned_detections d;
    d.add(box{0.5f, 0.5f, 0.25f, 0.25f}, {0.5f + 0.01f * (float)i});
    return to_json(d, {"thing"}, i, nullptr);
}

constexpr int timeout_us = 400000;

class JsonSender : public testing::Test {
  protected:
    void SetUp() override
    {
        delete_json_sender();
        port = free_port();
    }
    void TearDown() override { delete_json_sender(); }
    // The listening socket exists from the first call on; a frame sent before anyone connects goes nowhere.
    void start(int timeout = timeout_us) { send_json_custom("{}", port, timeout); }
    int port = 0;
};

} // namespace

TEST_F(JsonSender, FirstClientGetsPreambleAndCurrentFrameThenSeparatedFrames)
{
    start();
    client c;
    ASSERT_TRUE(c.connect_to(port));
    std::string f1 = frame_text(1), f2 = frame_text(2), f3 = frame_text(3);
    send_json_custom(f1.c_str(), port, timeout_us);
    std::string first = c.read(http_preamble.size() + f1.size());
    EXPECT_EQ(first, http_preamble + f1);
    send_json_custom(f2.c_str(), port, timeout_us);
    send_json_custom(f3.c_str(), port, timeout_us);
    std::string later = c.read(2 * (3 + f2.size()));
    EXPECT_EQ(later, ", \n" + f2 + ", \n" + f3);
    std::string body = (first + later).substr(http_preamble.size() - 2) + "\n]";
    EXPECT_TRUE(is_json(body)) << body;
}

TEST_F(JsonSender, SeveralClientsJoinOnePerFrame)
{
    constexpr int clients = 3, frames = 5;
    start();
    client c[clients];
    for (client &x : c) ASSERT_TRUE(x.connect_to(port));
    std::vector<std::string> f;
    for (int i = 0; i < frames; ++i) {
        f.push_back(frame_text(i));
        send_json_custom(f.back().c_str(), port, timeout_us);
    }
    // Each write accepts one waiting connection; that client starts with the frame it joined on.
    for (int k = 0; k < clients; ++k) {
        std::string expected = http_preamble + f[(size_t)k];
        for (int i = k + 1; i < frames; ++i) expected += ", \n" + f[(size_t)i];
        EXPECT_EQ(c[k].read(expected.size()), expected) << "client " << k;
    }
}

TEST_F(JsonSender, ClosedClientIsDroppedOthersContinue)
{
    start();
    client leaving, staying;
    ASSERT_TRUE(leaving.connect_to(port));
    ASSERT_TRUE(staying.connect_to(port));
    testing::internal::CaptureStderr();
    std::string expected = http_preamble;
    for (int i = 0; i < 2; ++i) {
        std::string f = frame_text(i);
        send_json_custom(f.c_str(), port, timeout_us);
        if (i == 1) expected += f;
    }
    leaving.close_now();
    for (int i = 2; i < 12; ++i) {
        std::string f = frame_text(i);
        send_json_custom(f.c_str(), port, timeout_us);
        expected += ", \n" + f;
    }
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(staying.read(expected.size()), expected);
    size_t kills = 0;
    for (size_t at = log.find("JSON_sender: kill client "); at != std::string::npos;
         at = log.find("JSON_sender: kill client ", at + 1))
        ++kills;
    EXPECT_EQ(kills, 1u) << log;
    EXPECT_NE(log.find("Close socket: out = "), std::string::npos);
}

TEST_F(JsonSender, ClientThatStopsReadingIsDropped)
{
    for (int timeout : {0, 20000}) {
        SCOPED_TRACE(testing::Message() << "timeout " << timeout);
        delete_json_sender();
        port = free_port();
        start(timeout);
        client stalled;
        ASSERT_TRUE(stalled.connect_to(port));
        std::string big(1 << 16, ' ');
        big = "{\"pad\":\"" + big + "\"}";
        testing::internal::CaptureStderr();
        // The kernel buffers only a few megabytes per connection, so the stream has to stall.
        for (int i = 0; i < 2000; ++i) send_json_custom(big.c_str(), port, timeout);
        std::string log = testing::internal::GetCapturedStderr();
        EXPECT_NE(log.find("JSON_sender: kill client "), std::string::npos);
        EXPECT_TRUE(stalled.closed_by_server());
    }
}

TEST_F(JsonSender, SocketLimitClosesClientsBeyondIt)
{
    start();
    std::vector<std::unique_ptr<client>> clients;
    std::string f = frame_text(0);
    testing::internal::CaptureStderr();
    for (int i = 0; i < json_sender_max_sockets - 1; ++i) {
        clients.push_back(std::make_unique<client>());
        ASSERT_TRUE(clients.back()->connect_to(port));
        send_json_custom(f.c_str(), port, timeout_us);
    }
    client extra;
    ASSERT_TRUE(extra.connect_to(port));
    send_json_custom(f.c_str(), port, timeout_us);
    testing::internal::GetCapturedStderr();
    // The client beyond the limit still gets its first frame, then the connection is closed.
    EXPECT_EQ(extra.read(http_preamble.size() + f.size()), http_preamble + f);
    EXPECT_TRUE(extra.closed_by_server());
    // The watched clients keep receiving: the first one has had every frame.
    std::string expected = http_preamble + f;
    for (int i = 1; i < json_sender_max_sockets; ++i) expected += ", \n" + f;
    EXPECT_EQ(clients.front()->read(expected.size()), expected);
}

TEST_F(JsonSender, PortZeroOpensNothingAndLaterPortsAreIgnored)
{
    send_json_custom("{}", 0, timeout_us);
    send_json_custom("{}", port, timeout_us);
    client refused;
    EXPECT_FALSE(refused.connect_to(port, false));
    delete_json_sender();
    send_json_custom("{}", port, timeout_us);
    client accepted;
    EXPECT_TRUE(accepted.connect_to(port, false));
}

TEST_F(JsonSender, ConcurrentCallersNeverInterleaveFrames)
{
    start();
    client c;
    ASSERT_TRUE(c.connect_to(port));
    std::string first = frame_text(0);
    send_json_custom(first.c_str(), port, timeout_us);
    constexpr int threads = 4, per_thread = 25;
    std::string f = frame_text(1);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&] {
            for (int i = 0; i < per_thread; ++i) send_json_custom(f.c_str(), port, timeout_us);
        });
    for (std::thread &t : pool) t.join();
    std::string expected = http_preamble + first;
    for (int i = 0; i < threads * per_thread; ++i) expected += ", \n" + f;
    std::string got = c.read(expected.size());
    EXPECT_EQ(got, expected);
    EXPECT_TRUE(is_json(got.substr(http_preamble.size() - 2) + "\n]"));
}
