// The "freescale" serial back-end: tty set-up, frame building and the receive state machine.
//
// One module per process: the back-end record, the write mutex and the frame assembler are
// module-wide. Writers (any thread) take `mux`; only the reader thread receives.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>

#include "zigbee_local.h"

namespace {

struct BaudRow {
    int bps;
    speed_t posixBaud;
};

constexpr BaudRow baudTable[] = {
    {600, B600},       {1200, B1200},     {2400, B2400},     {4800, B4800},
    {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
    {115200, B115200}, {230400, B230400}, {921600, B921600},
};

const char* const kBoardResetFile = "/sys/devices/platform/zigbee-gpio.0/cmd";
const char* const kBoardResetCommand = "echo reset > /sys/devices/platform/zigbee-gpio.0/cmd";

freescale_status_t* fs = nullptr;
std::mutex mux;
std::atomic<int> abortReceive{0};

// readSome: a reset command went out while waiting for bytes; its answer is synthesized instead.
constexpr int kResetDue = -1000;

// Frame assembler, touched by the reader thread only. Bytes beyond the frame being delivered
// (the start of the next one) stay here for the next receive. The first `suspect` of them lie
// inside a frame that was dropped for its check byte: they may form a frame only with a matching
// check byte of its own.
uchar frm[MC13226_RX_BUFFER];
int have = 0;
int suspect = 0;
// Bytes asked of the line at once: whatever has arrived, the next frames' too, in one read
// (never past the buffer: a frame is at most 260 bytes and `have` stays below one frame when
// a read is made).
constexpr int kReadChunk = 512;
static_assert(kReadChunk + 260 <= MC13226_RX_BUFFER, "a read fits behind a partial frame");

// Waits (in steps of 100 ms, watching for a stop request) until the tty has bytes, then reads at
// most n. Returns the count, MC13226_ABORTED, or MC13226_LINK_LOST when the device has gone.
int readSome(void* ctx, uchar* p, int n) {
    int fd = *static_cast<int*>(ctx);
    for (;;) {
        zb_conn_reader_beat();
        if (abortReceive.load()) {
            return MC13226_ABORTED;
        }
        if (fs != nullptr && fs->state.load() == MC13226_RESETTING_MODE) {
            return kResetDue;
        }
        struct pollfd pfd = {fd, POLLIN, 0};
        int r = poll(&pfd, 1, 100);
        if (r < 0) {
            if (errno == EINTR) {
                continue;
            }
            perror("MC13226 : poll");
            return MC13226_LINK_LOST;
        }
        if (r == 0) {
            continue;
        }
        if (pfd.revents & POLLNVAL) {
            return MC13226_LINK_LOST;
        }
        if (pfd.revents & POLLIN) {
            ssize_t got = read(fd, p, n);
            if (got > 0) {
                return static_cast<int>(got);
            }
            if (got < 0) {
                if (errno == EINTR || errno == EAGAIN) {
                    continue;
                }
                perror("MC13226 : read");
                return MC13226_LINK_LOST;
            }
            // No byte: the tty's inter-byte time-out, or end of file on a hung-up line.
            if (pfd.revents & (POLLHUP | POLLERR)) {
                return MC13226_LINK_LOST;
            }
            continue;
        }
        if (pfd.revents & (POLLHUP | POLLERR)) {
            return MC13226_LINK_LOST;
        }
    }
}

// The rest of a frame is on its way: rather than waking for every byte as it trickles in (a
// poll and a read per byte at 115200 baud), wait as long as the line takes to carry the missing
// bytes, unless some are there already. At most 20 ms at a time, so that a stop or a reset is
// never held up; only on a real line (rec), not for the assembler's other sources.
void awaitRest(const freescale_status_t* rec, int missing) {
    if (rec == nullptr || rec->byteNs <= 0 || missing <= 0) {
        return;
    }
    struct pollfd pfd = {rec->fd, POLLIN, 0};
    if (poll(&pfd, 1, 0) != 0) {
        return;  // bytes, a hang-up or an error: the read sees them at once
    }
    struct timespec ts = {0, std::min(missing * rec->byteNs, 20000000L)};
    nanosleep(&ts, nullptr);
}

void dumpAssembled(const uchar* bytes, int n) {
    for (int i = 0; i < n; i++) {
        printf("%02x ", bytes[i]);
        if ((i + 1) % 20 == 0) {
            puts(" ");
        }
    }
    puts(" ");
}

void consume(int n) {
    suspect = n >= suspect ? 0 : suspect - n;
    if (n >= have) {
        have = 0;
        return;
    }
    memmove(frm, frm + n, have - n);
    have -= n;
}

// Drops the frame of `size` bytes at the front: its bytes become suspect, and assembly goes on
// at the next start byte inside it (resynchronisation), or else after it.
void dropFrame(int size) {
    if (size > suspect) {
        suspect = size;
    }
    int next = 1;
    while (next < size && frm[next] != STX) {
        next++;
    }
    consume(next);
}

void forgetAssembled() {
    have = 0;
    suspect = 0;
}

int receiveFrame(freescale_status_t* rec, MC13226_ByteSource src, uchar* buf);

}  // namespace

int freescale_build_frame(const uchar* pkt, uchar* frame) {
    int len = pkt[2];
    if (len > ZB_MAX_PAYLOAD) {
        return -1;
    }
    frame[0] = STX;
    uchar fcs = 0;
    for (int i = 0; i < len + 3; i++) {
        frame[1 + i] = pkt[i];
        fcs ^= pkt[i];
    }
    frame[len + 4] = fcs;
    return len + 5;
}

int freescale_zigbb_parse_frame(uchar* buf, const uchar* f, int size) {
    if (size < 4 || size < f[3] + 5) {
        return -2;
    }
    if (f[0] != STX) {
        printf("MC13226 : ERROR@FirstByte - Expected 0x02, received %02X \n", f[0]);
        return -1;
    }
    int len = f[3];
    uchar fcs = 0;
    for (int i = 1; i <= len + 3; i++) {
        buf[i - 1] = f[i];
        fcs ^= f[i];
    }
    if (fcs != f[len + 4]) {
        printf("MC13226 : ERROR@Checksum : calc %02x recv %02x\n", fcs, f[len + 4]);
        memset(buf, 0, len);
        return -1;
    }
    return 0;
}

int MC13226_open(char** params) {
    const char* speedText = get_param(params, "speed");
    int speed = speedText ? atoi(speedText) : 115200;
    const BaudRow* row = nullptr;
    for (const BaudRow& b : baudTable) {
        if (b.bps == speed) {
            row = &b;
        }
    }
    if (row == nullptr) {
        fprintf(stderr, "Invalid baud rate %d bps\n", speed);
        return -EINVAL;
    }
    const char* path = get_param(params, "path");
    if (path == nullptr) {
        fprintf(stderr, "ERROR: no device path in the URL\n");
        return -19;
    }
    if (fs != nullptr) {
        return -12;
    }
    FILE* reset = fopen(kBoardResetFile, "r");
    if (reset != nullptr) {
        puts("**** This is a KESTA BOARD ****");
        fclose(reset);
        if (system(kBoardResetCommand) != 0) {
            fprintf(stderr, "MC13226_open - board reset command failed\n");
        }
        usleep(2000000);
    }
    // A failure leaves errno as the system call set it: the layer above says why, once.
    int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return -19;
    }
    struct termios current;
    tcgetattr(fd, &current);
    struct termios tio;
    memset(&tio, 0, sizeof(tio));
    tio.c_cflag = CS8 | CREAD | CLOCAL;
    tio.c_lflag &= ~(ICANON | ECHO | ECHOE | ISIG);
    tio.c_iflag &= ~(IXON | IXOFF | IXANY | ICRNL);
    tio.c_oflag &= ~OPOST;
    tio.c_cc[VTIME] = 1;
    tio.c_cc[VMIN] = 0;
    cfmakeraw(&tio);
    cfsetispeed(&tio, row->posixBaud);
    cfsetospeed(&tio, row->posixBaud);
    tcflush(fd, TCIOFLUSH);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        const int why = errno;
        close(fd);
        errno = why;
        return -19;
    }
    freescale_status_t* rec = new (std::nothrow) freescale_status_t();
    if (rec == nullptr) {
        close(fd);
        return -12;
    }
    rec->fd = fd;
    rec->state.store(MC13226_IDLE);
    rec->byteNs = 10L * 1000000000L / speed;
    forgetAssembled();
    abortReceive.store(0);
    fs = rec;
    return 0;
}

int MC13226_close() {
    std::lock_guard<std::mutex> lock(mux);
    if (fs != nullptr && fs->fd >= 0) {
        close(fs->fd);
        delete fs;
        fs = nullptr;
    }
    forgetAssembled();
    return 0;
}

int MC13226_transmit(const uchar* data, int size) {
    std::lock_guard<std::mutex> lock(mux);
    if (fs == nullptr) {
        return -19;
    }
    if (data == nullptr || size < 3 || size < data[2] + 3) {
        fprintf(stderr, "MC13226_transmit - ERROR: packet of %d bytes shorter than its length\n",
                size);
        return -22;
    }
    uchar frame[MC13226_TX_BUFFER];
    int len = freescale_build_frame(data, frame);
    if (len < 0) {
        fprintf(stderr, "MC13226_transmit - ERROR: payload of %d bytes exceeds the frame limit\n",
                data[2]);
        return -22;
    }
    // The reset marker is set before the frame goes out: the module may answer at once. Any
    // other frame marks the transmission only while no reset answer is due, so that it never
    // overwrites the marker (which the reader alone clears).
    bool isReset = data[0] == 0xA3 && data[1] == 0x08 && data[2] == 0;
    int idle = MC13226_IDLE;
    bool marked = false;
    if (isReset) {
        fs->state.store(MC13226_RESETTING_MODE);
    } else {
        marked = fs->state.compare_exchange_strong(idle, MC13226_TX);
    }
    int written = 0;
    while (written < len) {
        ssize_t w = write(fs->fd, frame + written, len - written);
        if (w < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            perror("MC13226_transmit - write");
            break;
        }
        written += static_cast<int>(w);
    }
    if (marked) {
        int tx = MC13226_TX;
        fs->state.compare_exchange_strong(tx, MC13226_IDLE);
    }
    return written == len ? 0 : -5;
}

int MC13226_receive(uchar* buf, int /*size*/) {
    freescale_status_t* rec = fs;
    if (rec == nullptr || rec->fd < 0) {
        return -19;
    }
    int fd = rec->fd;
    MC13226_ByteSource src = {readSome, &fd};
    for (;;) {
        int r = receiveFrame(rec, src, buf);
        if (r != kResetDue) {
            return r;
        }
    }
}

namespace {

int receiveFrame(freescale_status_t* rec, MC13226_ByteSource src, uchar* buf) {
    // Only this path leaves the resetting state, and it claims the marker before the module's
    // reboot: a reset sent meanwhile sets it again and gets an answer of its own.
    int resetting = MC13226_RESETTING_MODE;
    if (rec != nullptr && rec->state.compare_exchange_strong(resetting, MC13226_IDLE)) {
        int fd = rec->fd;
        // The module reboots and says something; its answer is synthesized.
        for (int i = 0; i < 10; i++) {
            if (abortReceive.load()) {
                return MC13226_ABORTED;
            }
            zb_conn_reader_beat();
            usleep(100000);
        }
        struct pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, 0) > 0 && (pfd.revents & POLLIN)) {
            uchar junk[255];
            if (read(fd, junk, sizeof(junk)) < 0 && errno != EAGAIN && errno != EINTR) {
                perror("MC13226 : read");
            }
        }
        forgetAssembled();
        static const uchar answer[5] = {0xA3, 0x08, 0x02, 0x00, 0x02};
        memcpy(buf, answer, sizeof(answer));
        return 5;
    }

    for (;;) {
        // Header: start byte, group, id, length. Anything before a start byte is dropped, be it
        // fresh from the line or left over from an earlier frame.
        int dropped = 0;
        for (;;) {
            if (have > 0 && frm[0] != STX) {
                printf("DROP %2x ", frm[0]);
                dropped++;
                consume(1);
                continue;
            }
            if (have >= 4) {
                break;
            }
            if (have > 0) {
                awaitRest(rec, 4 - have);
            }
            int r = src.read(src.ctx, &frm[have], kReadChunk);
            if (r < 0) {
                if (dropped > 0) {
                    printf("\nMC13226 : Bytes Dropped : %d\n", dropped);
                }
                return r;
            }
            have += r;
        }
        if (dropped > 0) {
            printf("\nMC13226 : Bytes Dropped : %d\n", dropped);
        }

        // Body.
        int expected = frm[3] + 5;
        while (have < expected) {
            awaitRest(rec, expected - have);
            int r = src.read(src.ctx, &frm[have], std::max(expected - have, kReadChunk));
            if (r < 0) {
                return r;
            }
            have += r;
        }
        int result = freescale_zigbb_parse_frame(buf, frm, expected);
        if (result == 0) {
            consume(expected);
            return expected - 2;
        }

        printf("MC13226 : WARNING @ THIS MESSAGE (wholeBufferSize 0x%02x)\n", expected);
        dumpAssembled(frm, expected);
        if (frm[0] == STX && frm[expected - 1] == STX && suspect == 0) {
            // The checksum byte is missing: the next frame's start byte was read in its place.
            puts("MC13226 : FRAMES RECOVERED BY SKIPPING CHECKSUM BYTE");
            memcpy(buf, frm + 1, expected - 2);
            consume(expected - 1);
            return expected - 2;
        }
        // A frame that fails its checksum is never handed on: its bytes cannot be trusted.
        // Resynchronise on the next start byte inside it and read on.
        puts("MC13226 : FRAME WITH WRONG CHECKSUM DROPPED - RESYNCHRONISING");
        dropFrame(expected);
    }
}

}  // namespace

int MC13226_assemble(MC13226_ByteSource src, uchar* buf) {
    return receiveFrame(nullptr, src, buf);
}

int MC13226_fd() {
    freescale_status_t* rec = fs;
    return rec ? rec->fd : -1;
}

int MC13226_pending() {
    // A reset answer that is due counts as pending too: it never waits for the module to speak.
    freescale_status_t* rec = fs;
    if (rec != nullptr && rec->state.load() == MC13226_RESETTING_MODE) {
        return have + 1;
    }
    return have;
}

void MC13226_abort(int on) {
    abortReceive.store(on);
}

void MC13226_reset_receiver() {
    forgetAssembled();
    abortReceive.store(0);
}

int freescale_open(char** params) {
    if (MC13226_open(params) != 0) {
        return 0;
    }
    // The record's address stands for the handle; only its non-zero value matters.
    return 1;
}

int freescale_close(int /*handle*/) {
    return MC13226_close();
}

int freescale_transmit(int /*handle*/, const uchar* data, int size) {
    return MC13226_transmit(data, size);
}

int freescale_receive(int /*handle*/, uchar* buf, int size) {
    return MC13226_receive(buf, size);
}

int freescale_fd(int /*handle*/) {
    return MC13226_fd();
}

int freescale_pending(int /*handle*/) {
    return MC13226_pending();
}

void freescale_abort(int /*handle*/, int on) {
    MC13226_abort(on);
}
