// A device that answers at once, run as its own process so that the benchmark counts
// only the master's CPU time.
//
//   line_peer tcp PORTFILE         listen on 127.0.0.1, write the port into PORTFILE
//   line_peer pty LINKFILE         open a pseudo-terminal, write its device path into LINKFILE
//   line_peer silent-tcp PORTFILE  like tcp, but never answer
//
// Every 8-byte read request (function 3 or 4, good CRC) gets a reply with the asked
// number of registers, register i holding first + i.

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pty.h>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

uint16_t Crc16(const uint8_t* bytes, size_t length)
{
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < length; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001)
                            : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

void AppendCrc(std::vector<uint8_t>& frame)
{
    const uint16_t crc = Crc16(frame.data(), frame.size());
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
}

bool WriteAll(int fd, const uint8_t* bytes, size_t length)
{
    while (length > 0) {
        const ssize_t n = ::write(fd, bytes, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

// The file appears complete or not at all: the reader polls for it.
bool PublishText(const std::string& path, const std::string& text)
{
    const std::string temporary = path + ".tmp";
    FILE* f = std::fopen(temporary.c_str(), "w");
    if (!f)
        return false;
    std::fputs(text.c_str(), f);
    std::fputc('\n', f);
    if (std::fclose(f) != 0)
        return false;
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

// Serves one stream until it closes or fails. Bytes that do not start a good request
// are dropped one at a time, which finds the next request after noise.
void Serve(int fd, bool answer)
{
    std::vector<uint8_t> input;
    uint8_t chunk[512];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        if (!answer)
            continue;
        input.insert(input.end(), chunk, chunk + n);
        while (input.size() >= 8) {
            const uint8_t* q = input.data();
            const uint16_t crc = Crc16(q, 6);
            const bool request = (q[1] == 3 || q[1] == 4) && q[6] == (crc & 0xFF) &&
                                 q[7] == (crc >> 8) && q[4] == 0 && q[5] >= 1 && q[5] <= 125;
            if (!request) {
                input.erase(input.begin());
                continue;
            }
            const int first = (q[2] << 8) | q[3];
            const int count = q[5];
            std::vector<uint8_t> reply{q[0], q[1], static_cast<uint8_t>(2 * count)};
            for (int i = 0; i < count; ++i) {
                const int value = (first + i) & 0xFFFF;
                reply.push_back(static_cast<uint8_t>(value >> 8));
                reply.push_back(static_cast<uint8_t>(value & 0xFF));
            }
            AppendCrc(reply);
            input.erase(input.begin(), input.begin() + 8);
            if (!WriteAll(fd, reply.data(), reply.size()))
                return;
        }
    }
}

int RunTcp(const std::string& portFile, bool answer)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    if (listener < 0) {
        std::perror("socket");
        return 1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 4) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("listen");
        return 1;
    }
    if (!PublishText(portFile, std::to_string(ntohs(address.sin_port)))) {
        std::perror(portFile.c_str());
        return 1;
    }
    for (;;) {
        const int fd = ::accept(listener, nullptr, nullptr);
        if (fd < 0) {
            if (errno == EINTR)
                continue;
            std::perror("accept");
            return 1;
        }
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        Serve(fd, answer);
        ::close(fd);
    }
}

int RunPty(const std::string& linkFile)
{
    int master = -1;
    int slave = -1;
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return 1;
    }
    termios raw{};
    ::tcgetattr(slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave, TCSANOW, &raw);
    // The slave end stays open here, so that the master end keeps working while the
    // benchmark opens and closes the device.
    if (!PublishText(linkFile, name)) {
        std::perror(linkFile.c_str());
        return 1;
    }
    Serve(master, true);
    ::close(slave);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s tcp|silent-tcp PORTFILE | pty LINKFILE\n", argv[0]);
        return 2;
    }
    // Never outlive the benchmark that started us.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    const std::string mode = argv[1];
    if (mode == "tcp")
        return RunTcp(argv[2], true);
    if (mode == "silent-tcp")
        return RunTcp(argv[2], false);
    if (mode == "pty")
        return RunPty(argv[2]);
    std::fprintf(stderr, "unknown mode %s\n", argv[1]);
    return 2;
}
