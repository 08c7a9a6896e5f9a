// Test helpers for the fast path's IP sets: members as 16-byte strings (an IPv4 address in the
// first 4), the form kset_members writes. Strings rather than byte vectors: GCC 12 warns falsely
// (-Wstringop-overread) when byte vectors are compared in an i386 Release build.
#pragma once

#include <arpa/inet.h>

#include <set>
#include <string>

#include "kernel_set.h"

using address_set = std::set<std::string>;

// The address as a set holds it.
inline std::string set_member(const std::string &address) {
    std::string bytes(16, '\0');
    inet_pton(address.find(':') != std::string::npos ? AF_INET6 : AF_INET, address.c_str(),
              bytes.data());
    return bytes;
}

inline const unsigned char *bytes_of(const std::string &member) {
    return reinterpret_cast<const unsigned char *>(member.data());
}

// The members of the set; the status in *rc when given.
inline address_set set_members(kernel_set_socket *ks, const char *name, int *rc = nullptr) {
    static unsigned char out[KSET_MAX_MEMBERS][16];
    int count = 0;
    int status = kset_members(ks, name, out, KSET_MAX_MEMBERS, &count);
    if (rc != nullptr) {
        *rc = status;
    }
    address_set found;
    for (int i = 0; i < count; ++i) {
        found.insert(std::string(reinterpret_cast<const char *>(out[i]), 16));
    }
    return found;
}
