// The bytes of a capture as libpcap reads them: decompressed by zlib where the file is gzip'd,
// with ftello telling the position in those bytes, and the reason of a failed read kept.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <cstdio>

// Where a pcapng file's blocks begin, followed through the bytes as they go by.
struct pcapng_blocks {
    bool active = true;  // false once the data is not (or no longer) a well-formed pcapng file
    bool big_endian = false;
    uint64_t start = 0;  // offset of the current block
    uint32_t type = 0, length = 0;
    unsigned char head[12] = {};    // type, length, then a section's byte order or a link type
    int link_type = -1;             // the first interface's
    bool mixed_link_types = false;  // an interface of another link type went by
};

struct capture_input {
    gzFile gz = nullptr;     // the file through zlib,
    FILE *plain = nullptr;   // or a stream that is read as it is
    uint64_t delivered = 0;  // bytes handed on so far: the stream's position
    char error[128] = "";    // why a read failed
    bool cut = false;        // the compressed data ended inside the gzip stream
    pcapng_blocks blocks;
};

// A stream of the decompressed bytes of fd (which stays open); *input describes it until the
// stream is closed. nullptr, with errno set, when it cannot be set up.
FILE *open_input_fd(int fd, const capture_input **input);

// A stream of the bytes of in, which is closed with it.
FILE *open_input_stream(FILE *in, const capture_input **input);

// " (after decompression)" when the input is gzip'd data, else "".
const char *input_offset_note(const capture_input *input);

// libpcap refuses a pcapng file whose interfaces differ in snapshot length, yet only each
// packet's captured length matters to the reader: sets the snapshot length of every Interface
// Description Block in data (the bytes at offset in the file) to 0, "no limit". Notes an
// interface whose link type differs from the first's, which libpcap refuses too.
void unify_snapshot_lengths(pcapng_blocks *blocks, uint64_t offset, unsigned char *data,
                            size_t size);
