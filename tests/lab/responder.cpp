// SPDX-License-Identifier: MIT
// lab_responder - answers the ICMP echo requests of a train the way its
// command line says: in order or reordered, twice, late or not at all, and
// with hostile messages around or instead of the replies.  Runs in the lab's
// target namespace with the kernel's own echo replies off (lab.sh up NAME
// --no-echo), reads every request on a raw ICMP socket and sends whole
// datagrams it builds itself (IP_HDRINCL).
//
// Options: see script.h (what to do per request) and cases.h (the messages);
// tests/lab/README.md has examples.
//
// Prints "ready" once its socket is open, then one line per echo request
//   request seq=S id=I data=N options=HEX
// (identifier and sequence number as the host reads them, N the ICMP data
// length, HEX the request's IP options), and at the end
//   done requests=R sent=D
// Exit status 0 after the last train and the linger time, 3 when the time-out
// came first, 2 for a bad command line, 1 when the socket cannot be opened.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>

#include "script.h"

namespace {

using tsllab::Outgoing;

const char kUsage[] =
    "usage: lab_responder [--count N] [--trains T] [--scripted-trains N] [--order SEQS]\n"
    "                     [--dup SEQS|all] [--drop SEQS|all] [--delay SEQ:MS,...]\n"
    "                     [--before SEQS|all=CASE,...] [--after SEQS|all=CASE,...]\n"
    "                     [--linger MS] [--timeout S]\n";

std::int64_t nowUs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * std::int64_t{1000000} + ts.tv_nsec / 1000;
}

std::string hex(const tsllab::Bytes& bytes) {
    std::string text;
    char buf[3];
    for (auto b : bytes) {
        snprintf(buf, sizeof buf, "%02x", b);
        text += buf;
    }
    return text.empty() ? "-" : text;
}

struct Sender {
    int fd;
    long sent = 0;
    long failed = 0;
    int lastErrno = 0;

    void send(const tsllab::Bytes& d) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        std::memcpy(&to.sin_addr, &d[16], 4);
        for (int attempt = 0;; ++attempt) {
            ssize_t n = sendto(fd, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
            if (n == static_cast<ssize_t>(d.size())) {
                ++sent;
                return;
            }
            // A flood can fill the device queue for a moment; wait and retry.
            if (n < 0 && (errno == ENOBUFS || errno == EAGAIN || errno == EINTR) && attempt < 100) {
                usleep(200);
                continue;
            }
            ++failed;
            lastErrno = n < 0 ? errno : EMSGSIZE;
            return;
        }
    }
};

// Puts what a request caused into the queue, which stays sorted by due time
// and keeps the given order among equal times.
void enqueue(std::deque<Outgoing>& queue, std::vector<Outgoing>&& items) {
    for (auto& item : items) {
        auto at = std::upper_bound(queue.begin(), queue.end(), item.dueUs,
                                   [](std::int64_t due, const Outgoing& o) { return due < o.dueUs; });
        queue.insert(at, std::move(item));
    }
}

// Reads every datagram waiting on the socket and plays it against the train.
void receiveAll(int fd, tsllab::Train& train, std::deque<Outgoing>& queue) {
    static std::uint8_t buf[65536];
    for (;;) {
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) perror("lab_responder: recv");
            if (errno != EINTR) return;
            continue;
        }
        auto req = tsllab::parseEchoRequest(tsllab::ByteView(buf, static_cast<std::size_t>(n)));
        if (!req || train.finished()) continue;
        printf("request seq=%u id=%u data=%zu options=%s\n", req->seq(), req->ident(),
               req->icmp.size() - tsllab::kIcmpHeaderLen, hex(req->options).c_str());
        fflush(stdout);
        enqueue(queue, train.onRequest(*req, nowUs()));
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        fputs(kUsage, stdout);
        return 0;
    }
    std::string why;
    auto script = tsllab::parseScript(args, &why);
    if (!script) {
        fprintf(stderr, "lab_responder: %s\n%s", why.c_str(), kUsage);
        return 2;
    }

    int fd = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
    if (fd < 0) {
        perror("lab_responder: socket");
        return 1;
    }
    int on = 1;
    if (setsockopt(fd, IPPROTO_IP, IP_HDRINCL, &on, sizeof on) != 0) {
        perror("lab_responder: IP_HDRINCL");
        return 1;
    }
    int rcvbuf = 1 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    printf("ready\n");
    fflush(stdout);

    tsllab::Train train(*script);
    Sender sender{fd};
    std::deque<Outgoing> queue;
    const std::int64_t deadline = nowUs() + script->timeoutSec * std::int64_t{1000000};
    std::int64_t lingerEnd = -1;
    int status = 0;
    for (;;) {
        std::int64_t now = nowUs();
        while (!queue.empty() && queue.front().dueUs <= now) {
            sender.send(queue.front().datagram);
            queue.pop_front();
        }
        if (train.finished() && lingerEnd < 0) lingerEnd = now + script->lingerMs * std::int64_t{1000};
        if (lingerEnd >= 0 && now >= lingerEnd && queue.empty()) break;
        if (now >= deadline) {
            if (!train.finished()) {
                fprintf(stderr, "lab_responder: time-out with %d requests seen\n", train.requestsSeen());
                status = 3;
            }
            break;
        }
        std::int64_t wake = deadline;
        if (!queue.empty()) wake = std::min(wake, queue.front().dueUs);
        if (lingerEnd >= 0) wake = std::min(wake, lingerEnd);
        const std::int64_t waitUs = std::max<std::int64_t>(0, wake - now);
        timespec ts{static_cast<time_t>(waitUs / 1000000), static_cast<long>(waitUs % 1000000) * 1000};
        pollfd pfd{fd, POLLIN, 0};
        if (ppoll(&pfd, 1, &ts, nullptr) > 0) receiveAll(fd, train, queue);
    }
    if (sender.failed > 0)
        fprintf(stderr, "lab_responder: %ld sends failed (last: %s)\n", sender.failed, strerror(sender.lastErrno));
    printf("done requests=%d sent=%ld\n", train.requestsSeen(), sender.sent);
    close(fd);
    return status;
}
