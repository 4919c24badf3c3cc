// Soak of the JSON sender: as many loopback clients as it watches, frames sent back to back.
// Reports frames per second against plain blocking sends to the same number of clients, and the
// longest time one send_json_custom call held the caller when one client stops reading.
#include "quillon.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int watched_clients = 63; // 64 watched sockets, the listening one included
constexpr int client_timeout_us = 100000;

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

int connect_client(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons((uint16_t)port);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) abort();
    const char request[] = "GET / HTTP/1.0\r\n\r\n";
    if (send(fd, request, sizeof request - 1, 0) != (ssize_t)(sizeof request - 1)) abort();
    return fd;
}

// One frame of a busy scene: 100 detections of 3 classes.
std::string busy_frame()
{
    std::vector<std::vector<float>> probs(100, std::vector<float>{0.7f, 0.2f, 0.004f});
    std::vector<detection> dets(100);
    for (int i = 0; i < 100; ++i) {
        dets[(size_t)i] = detection{};
        dets[(size_t)i].bbox = box{0.01f * (float)i, 0.5f, 0.1f, 0.2f};
        dets[(size_t)i].classes = 3;
        dets[(size_t)i].prob = probs[(size_t)i].data();
    }
    const char *names[] = {"person", "bicycle", "car"};
    char *text = detection_to_json(dets.data(), 100, 3, const_cast<char **>(names), 1, "camera0");
    std::string out = text;
    free(text);
    return out;
}

// Drains the reading clients on its own thread, as remote viewers would.
class readers {
  public:
    explicit readers(std::vector<int> fds) : fds_(std::move(fds)), thread_([this] { run(); }) {}
    ~readers()
    {
        stop_ = true;
        thread_.join();
    }

  private:
    std::vector<int> fds_;
    std::atomic<bool> stop_{false};
    std::thread thread_;

    void run()
    {
        std::vector<pollfd> p;
        for (int fd : fds_) p.push_back(pollfd{fd, POLLIN, 0});
        std::vector<char> buffer(1 << 16);
        while (!stop_) {
            if (poll(p.data(), p.size(), 10) <= 0) continue;
            for (pollfd &x : p)
                if (x.revents & (POLLIN | POLLHUP | POLLERR))
                    if (recv(x.fd, buffer.data(), buffer.size(), 0) <= 0) x.fd = -1;
        }
    }
};

// The sender prints one line per client; keep the benchmark table readable.
class quiet_stderr {
  public:
    quiet_stderr() : saved_(dup(2))
    {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);
        close(null);
    }
    ~quiet_stderr()
    {
        dup2(saved_, 2);
        close(saved_);
    }

  private:
    int saved_;
};

bool closed_by_peer(int fd)
{
    std::vector<char> buffer(1 << 16);
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 2000) <= 0) return false;
        if (recv(fd, buffer.data(), buffer.size(), 0) <= 0) return true;
    }
}

void run_sender(benchmark::State &state, bool with_stalled_client)
{
    quiet_stderr quiet;
    std::string frame = busy_frame();
    delete_json_sender();
    int port = free_port();
    send_json_custom(frame.c_str(), port, client_timeout_us);
    std::vector<int> reading;
    int stalled = -1;
    for (int i = 0; i < watched_clients; ++i) {
        int fd = connect_client(port);
        if (with_stalled_client && i == watched_clients - 1) stalled = fd;
        else reading.push_back(fd);
        send_json_custom(frame.c_str(), port, client_timeout_us); // each call accepts one client
    }
    double longest_hold = 0;
    int long_holds = 0;
    {
        readers drain(reading);
        for (auto _ : state) {
            auto t0 = std::chrono::steady_clock::now();
            send_json_custom(frame.c_str(), port, client_timeout_us);
            auto t1 = std::chrono::steady_clock::now();
            double hold = std::chrono::duration<double, std::milli>(t1 - t0).count();
            longest_hold = std::max(longest_hold, hold);
            long_holds += hold > 0.5 * client_timeout_us / 1000.0;
        }
    }
    state.counters["fps"] = benchmark::Counter((double)state.iterations(), benchmark::Counter::kIsRate);
    state.counters["max_hold_ms"] = longest_hold;
    state.counters["holds_over_half_timeout"] = long_holds;
    state.counters["clients"] = watched_clients;
    state.counters["frame_bytes"] = (double)frame.size();
    if (stalled >= 0) {
        state.counters["stalled_dropped"] = closed_by_peer(stalled) ? 1 : 0;
        close(stalled);
    }
    for (int fd : reading) close(fd);
    delete_json_sender();
}

void BM_sender_all_reading(benchmark::State &state)
{
    run_sender(state, false);
}

void BM_sender_one_client_stalled(benchmark::State &state)
{
    run_sender(state, true);
}

// Reference: the same frames written with plain blocking sends to as many accepted clients.
void BM_reference_plain_send(benchmark::State &state)
{
    std::string frame = busy_frame();
    int port = free_port();
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons((uint16_t)port);
    if (bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(listener, 10) != 0) abort();
    std::vector<int> clients, served;
    for (int i = 0; i < watched_clients; ++i) {
        clients.push_back(connect_client(port));
        served.push_back(accept(listener, nullptr, nullptr));
    }
    double longest_hold = 0;
    {
        readers drain(clients);
        for (auto _ : state) {
            auto t0 = std::chrono::steady_clock::now();
            for (int fd : served) {
                send(fd, ", \n", 3, MSG_NOSIGNAL);
                send(fd, frame.data(), frame.size(), MSG_NOSIGNAL);
            }
            auto t1 = std::chrono::steady_clock::now();
            longest_hold = std::max(longest_hold, std::chrono::duration<double, std::milli>(t1 - t0).count());
        }
    }
    state.counters["fps"] = benchmark::Counter((double)state.iterations(), benchmark::Counter::kIsRate);
    state.counters["max_hold_ms"] = longest_hold;
    state.counters["clients"] = watched_clients;
    for (int fd : served) close(fd);
    for (int fd : clients) close(fd);
    close(listener);
}

} // namespace

BENCHMARK(BM_reference_plain_send)->MinTime(3.0)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_sender_all_reading)->MinTime(3.0)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_sender_one_client_stalled)->MinTime(3.0)->UseRealTime()->Unit(benchmark::kMicrosecond);

int main(int argc, char **argv)
{
    // Every forgotten sender keeps its sockets open by design, so repeated runs need descriptors.
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
