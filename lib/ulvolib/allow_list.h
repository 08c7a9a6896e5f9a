// The allow-list: destinations and local users whose new connections never reach the daemon.
// Its text is parsed here into entries, and the entries into the iptables-restore input that
// replaces kel-ulvo's three chains of one family; a recorded input is checked before it is fed
// back to iptables-restore. Parsing and generating do no I/O: a user name is resolved by the
// caller's function. Reading a file is separate, with the checks that make it root's alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

inline constexpr char ULVO_ALLOW_LIST_PATH[] = "/etc/opt/kel/kel-ulvo/kel-ulvo.allow";

// Written after an entry that exempts everything of a family (prefix length 0) or every program
// of root (uid 0), to say that it is meant: without it such an entry is refused.
inline constexpr char ALLOW_DELIBERATELY[] = "deliberately";

// The chains that the generated input replaces, in the order they refer to each other.
inline constexpr char ALLOW_CHAIN_MAIN[] = "KEL_ULVO";
inline constexpr char ALLOW_CHAIN_ALLOW[] = "KEL_ULVO_ALLOW";
inline constexpr char ALLOW_CHAIN_QUEUE[] = "KEL_ULVO_QUEUE";

enum allow_kind : int32_t { ALLOW_USER = 0, ALLOW_IPV4 = 4, ALLOW_IPV6 = 6 };

// One valid entry.
struct allow_entry {
    int32_t kind;            // allow_kind
    int32_t line;            // its line in the file, from 1
    char address[46];        // ALLOW_IPV4/6: the address as written (without the prefix)
    unsigned char addr[16];  // the same in network byte order; IPv4 in the first 4 bytes
    int32_t prefix;          // its prefix length; -1 when none is written (one host)
    uint32_t uid;            // ALLOW_USER
    bool deliberately;       // followed by ALLOW_DELIBERATELY
};

// A parsed list, empty when zeroed. free_allow_list releases what parse_allow_list took.
struct allow_list {
    allow_entry *entries;  // count of them, in the file's order (from malloc)
    int32_t count;
    int32_t capacity;
    // The first invalid entry, after parse_allow_list returned 1: its line, the entry as the
    // message shows it (its words joined by one space, from malloc) and why it is refused.
    int32_t error_line;
    char *error_entry;
    const char *error_reason;
};

// Looks a local user up by name: 0 with its uid, 1 when there is no such user.
using allow_user_lookup = int (*)(const char *name, uint32_t *uid);

// Parses the text of an allow-list (any bytes; the last line needs no newline) into the list,
// which must be zeroed or freed: 0 every entry valid, 1 the first invalid one is in the list's
// error fields (the entries before it stay), -1 out of memory.
int parse_allow_list(const char *text, size_t length, allow_user_lookup lookup, allow_list *list);
void free_allow_list(allow_list *list);
// Writes "FILE, line N: ENTRY: REASON" and a newline for the list's invalid entry.
void print_allow_error(FILE *out, const char *file, const allow_list *list);

// The fast path's IP set of each family and the packet counter of the rules that return
// packets to its members: both have the same name.
inline constexpr char FAST_PATH_IPV4[] = "kel_ulvo_fast4";
inline constexpr char FAST_PATH_IPV6[] = "kel_ulvo_fast6";

// Writes the iptables-restore input that replaces the three chains of the family (ALLOW_IPV4
// or ALLOW_IPV6) with the list's entries of that family and its users, and queue rules that
// send new connections to the queue; with fast_path, a new connection to a member of the
// family's fast-path set returns before its queue rule, counted: 0, or 1 when the stream fails.
int write_restore_input(FILE *out, const allow_list *list, int32_t family, uint16_t queue,
                        bool fast_path = false);

// The first line of a recorded restore input that write_restore_input could not have written
// for the family and queue: its number (from 1), where it starts and its length (none when the
// record ends early), and why.
struct allow_record_error {
    int32_t line;
    const char *text;
    size_t length;
    const char *reason;
};
// Checks that the text is exactly what write_restore_input writes for some allow-list of the
// family, with the queue, with or without the fast path: 0, or 1 with the first line that is
// not (-1 out of memory).
int check_restore_record(const char *text, size_t length, int32_t family, uint16_t queue,
                         allow_record_error *error);
// Writes "FILE, line N: LINE: REASON" (without LINE when the record ended) and a newline.
void print_record_error(FILE *out, const char *file, const allow_record_error *error);

// Reads a file that decides what the rules let through: it must be a regular file, not a
// symbolic link (none is followed), owned by root and writable by nobody else. 0 with the
// content in *text (from malloc, NUL-terminated, *length bytes before the NUL); 1 with a message
// in why ("FILE: WHAT IS WRONG"). A missing file is 0 with an empty text when missing_ok, else 1.
int read_root_file(const char *path, bool missing_ok, char **text, size_t *length, char *why,
                   size_t why_size);
