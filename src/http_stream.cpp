// JSON text of one frame's detections, and the process-wide non-blocking HTTP/1.0 server that keeps
// every client connection open and appends one JSON object per frame to a JSON array.
// POSIX sockets need no start-up at load time, so nothing runs before the first call.
#include "http_stream.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

// A growing text that reports allocation failure instead of exiting: hosts get null back.
struct json_text {
    char *data = nullptr;
    size_t length = 0;
    size_t capacity = 0;

    bool reserve(size_t needed)
    {
        if (needed <= capacity) return true;
        size_t grown = capacity ? capacity : 1024;
        while (grown < needed) grown *= 2;
        char *p = static_cast<char *>(realloc(data, grown));
        if (!p) return false;
        data = p;
        capacity = grown;
        return true;
    }

    bool append_format(const char *format, ...) __attribute__((format(printf, 2, 3)))
    {
        va_list args;
        va_start(args, format);
        va_list measure;
        va_copy(measure, args);
        int n = vsnprintf(nullptr, 0, format, measure);
        va_end(measure);
        bool ok = n >= 0 && reserve(length + (size_t)n + 1);
        if (ok) {
            vsnprintf(data + length, (size_t)n + 1, format, args);
            length += (size_t)n;
        }
        va_end(args);
        return ok;
    }
};

} // namespace

extern "C" QUILLON_API char *detection_to_json(detection *dets, int nboxes, int classes, char **names,
                                               long long int frame_id, const char *filename)
{
    json_text text;
    bool ok = text.reserve(1024);
    if (ok) {
        if (filename)
            ok = text.append_format("{\n \"frame_id\":%lld, \n \"filename\":\"%s\", \n \"objects\": [ \n", frame_id,
                                    filename);
        else
            ok = text.append_format("{\n \"frame_id\":%lld, \n \"objects\": [ \n", frame_id);
    }
    bool first = true;
    for (int i = 0; ok && i < nboxes; ++i) {
        for (int j = 0; ok && j < classes; ++j) {
            const char *name = names[j] ? names[j] : "";
            // Extraction has already applied the caller's threshold; this floor only drops residue.
            if (!(dets[i].prob[j] > 0.005f) || strncmp(name, "dont_show", 9) == 0) continue;
            if (!first) ok = text.append_format(", \n");
            first = false;
            const box &b = dets[i].bbox;
            ok = ok && text.append_format("  {\"class_id\":%d, \"name\":\"%s\", \"relative_coordinates\":{\"center_x\":%f, "
                                          "\"center_y\":%f, \"width\":%f, \"height\":%f}, \"confidence\":%f}",
                                          j, name, b.x, b.y, b.w, b.h, dets[i].prob[j]);
        }
    }
    ok = ok && text.append_format("\n ] \n}");
    if (!ok) {
        free(text.data);
        return nullptr;
    }
    return text.data;
}

namespace {

const char json_http_status[] = "HTTP/1.0 200 OK\r\n";
const char json_http_headers[] = "Server: Ruzozuvir/2.2\r\n"
                                 "Accept-Range: bytes\r\n"
                                 "Connection: close\r\n"
                                 "Max-Age: 0\r\n"
                                 "Expires: 0\r\n"
                                 "Cache-Control: no-cache, private\r\n"
                                 "Pragma: no-cache\r\n"
                                 "Content-Type: application/json\r\n"
                                 "\r\n";
const char json_array_open[] = "[\n";
const char json_frame_separator[] = ", \n";

struct json_sender {
    int sock = -1;           // listening socket, -1 when none
    std::vector<int> master; // listening socket first, then clients in accept order
    int timeout = 0;         // client receive/send time-out in microseconds
};

std::mutex json_sender_mutex;
json_sender *current_json_sender = nullptr;

// A zero time-out would mean "wait forever" to the kernel, so such senders never block on a client.
int io_flags(const json_sender &s)
{
    return MSG_NOSIGNAL | (s.timeout > 0 ? 0 : MSG_DONTWAIT);
}

ssize_t send_text(const json_sender &s, int fd, const char *text, size_t length)
{
    return send(fd, text, length, io_flags(s));
}

int close_socket(const json_sender &s, int fd)
{
    int out = shutdown(fd, SHUT_WR);
    char discard[1024];
    ssize_t got = recv(fd, discard, sizeof discard, io_flags(s));
    (void)got;
    int in = shutdown(fd, SHUT_RD);
    int result = close(fd);
    fprintf(stderr, "Close socket: out = %d, in = %d \n", out, in);
    return result;
}

void release_listening_socket(json_sender &s)
{
    shutdown(s.sock, SHUT_RDWR);
    close(s.sock);
    s.sock = -1;
}

void open_json_sender(json_sender &s, int port)
{
    s.sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (s.sock < 0) {
        s.sock = -1;
        return;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons((uint16_t)port);

    int reuse = 1;
    if (setsockopt(s.sock, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) < 0)
        fprintf(stderr, "setsockopt(SO_REUSEADDR) failed\n");
    int flags = fcntl(s.sock, F_GETFL, 0);
    int result = flags < 0 ? flags : fcntl(s.sock, F_SETFL, flags | O_NONBLOCK);
    if (result < 0) fprintf(stderr, "ioctlsocket(FIONBIO) failed with error: %d\n", result);

    if (bind(s.sock, reinterpret_cast<sockaddr *>(&address), sizeof address) < 0) {
        fprintf(stderr, "error JSON_sender: couldn't bind sock %d to port %d!\n", s.sock, port);
        release_listening_socket(s);
        return;
    }
    if (listen(s.sock, 10) < 0) {
        fprintf(stderr, "error JSON_sender: couldn't listen on sock %d on port %d !\n", s.sock, port);
        release_listening_socket(s);
        return;
    }
    s.master.assign(1, s.sock);
}

void set_client_timeouts(const json_sender &s, int client)
{
    timeval tv{};
    if (s.timeout > 0) {
        // The kernel rejects a microsecond part of a second or more; the duration is the same.
        tv.tv_sec = s.timeout / 1000000;
        tv.tv_usec = s.timeout % 1000000;
    }
    if (setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) < 0)
        fprintf(stderr, "error JSON_sender: SO_RCVTIMEO setsockopt failed\n");
    if (setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) < 0)
        fprintf(stderr, "error JSON_sender: SO_SNDTIMEO setsockopt failed\n");
}

// Returns false when accepting failed, which ends this write.
bool accept_client(json_sender &s, const char *text, size_t length)
{
    int client = accept4(s.sock, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) {
        fprintf(stderr, "error JSON_sender: couldn't accept connection on sock %d !\n", s.sock);
        return false;
    }
    set_client_timeouts(s, client);
    bool known = false;
    for (int fd : s.master) known = known || fd == client;
    bool watched = known || (int)s.master.size() < json_sender_max_sockets;
    if (!known && watched) s.master.push_back(client);
    send_text(s, client, json_http_status, sizeof json_http_status - 1);
    send_text(s, client, json_http_headers, sizeof json_http_headers - 1);
    send_text(s, client, json_array_open, sizeof json_array_open - 1);
    send_text(s, client, text, length);
    fprintf(stderr, "JSON_sender: new client %d\n", client);
    // A client beyond the socket limit would never be served or closed again.
    if (!watched) close_socket(s, client);
    return true;
}

// Sends one frame: accepts one waiting connection and feeds every client whose socket is readable.
// A client that has sent its request keeps its socket readable, because the request is never read.
void write_json_sender(json_sender &s, const char *text)
{
    if (s.master.empty()) return;
    std::vector<pollfd> ready(s.master.size());
    for (size_t i = 0; i < ready.size(); ++i) ready[i] = pollfd{s.master[i], POLLIN, 0};
    if (poll(ready.data(), ready.size(), 0) <= 0) return;

    size_t length = strlen(text);
    for (const pollfd &p : ready) {
        if (!(p.revents & (POLLIN | POLLHUP | POLLERR))) continue;
        if (p.fd == s.sock) {
            if (!accept_client(s, text, length)) return;
            continue;
        }
        send_text(s, p.fd, json_frame_separator, sizeof json_frame_separator - 1);
        ssize_t sent = send_text(s, p.fd, text, length);
        if (sent < 0 || (size_t)sent < length) {
            fprintf(stderr, "JSON_sender: kill client %d\n", p.fd);
            close_socket(s, p.fd);
            for (size_t i = 0; i < s.master.size(); ++i) {
                if (s.master[i] == p.fd) {
                    s.master.erase(s.master.begin() + (long)i);
                    break;
                }
            }
        }
    }
}

} // namespace

extern "C" QUILLON_API void send_json_custom(const char *send_buf, int port, int timeout)
{
    try {
        std::lock_guard<std::mutex> lock(json_sender_mutex);
        if (!current_json_sender) {
            json_sender *s = new json_sender;
            s->timeout = timeout;
            if (port != 0) open_json_sender(*s, port);
            current_json_sender = s;
        }
        write_json_sender(*current_json_sender, send_buf);
    } catch (...) {
        fprintf(stderr, " Error in send_json_custom() function \n");
    }
}

extern "C" QUILLON_API void delete_json_sender(void)
{
    std::lock_guard<std::mutex> lock(json_sender_mutex);
    // Hosts call this to start over on another port; the old connections are deliberately left open.
    delete current_json_sender;
    current_json_sender = nullptr;
}
