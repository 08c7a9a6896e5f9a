// kel-ulvo-allow: the allow-list for the helper script kel-ulvo-iptables, which runs it as root
// and feeds what it prints to iptables-restore. It reads and checks the list and the recorded
// rules; it changes nothing itself.
#include <pwd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "allow_list.h"
#include "nfqueue_numbers.h"

namespace {

constexpr char USAGE[] =
    "usage: %s check\n"
    "       %s restore [--fast-path] [FAMILY...]\n"
    "       %s restore-empty [--fast-path] FAMILY...\n"
    "       %s check-record FAMILY FILE\n"
    "FAMILY is ipv4 or ipv6.\n";

const char *program = "kel-ulvo-allow";  // messages start with the name it is run by

int lookup_user(const char *name, uint32_t *uid) {
    const passwd *entry = getpwnam(name);
    if (entry == nullptr) {
        return 1;
    }
    *uid = static_cast<uint32_t>(entry->pw_uid);
    return 0;
}

bool family_of(const char *word, int32_t *family, uint16_t *queue) {
    if (strcmp(word, "ipv4") == 0) {
        *family = ALLOW_IPV4;
        *queue = ULVO_NFQUEUE_IPV4;
    } else if (strcmp(word, "ipv6") == 0) {
        *family = ALLOW_IPV6;
        *queue = ULVO_NFQUEUE_IPV6;
    } else {
        return false;
    }
    return true;
}

int usage() {
    fprintf(stderr, USAGE, program, program, program, program);
    return 2;
}

int refuse(const char *why) {
    fprintf(stderr, "%s: %s\n", program, why);
    return 1;
}

int written() {
    if (fflush(stdout) != 0 || ferror(stdout)) {
        return refuse("could not write the output");
    }
    return 0;
}

// Reads a file of root's alone (a missing one as empty where missing_ok): 0, or 1 with the
// message written.
int read_checked(const char *path, bool missing_ok, char **text, size_t *length) {
    char why[512];
    int status = read_root_file(path, missing_ok, text, length, why, sizeof why);
    return status == 0 ? 0 : refuse(status > 0 ? why : "out of memory");
}

// Reads and parses the allow-list: 0, or 1 with the message written.
int read_list(allow_list *list) {
    char *text = nullptr;
    size_t length = 0;
    if (read_checked(ULVO_ALLOW_LIST_PATH, true, &text, &length) != 0) {
        return 1;
    }
    int status = parse_allow_list(text, length, lookup_user, list);
    free(text);
    if (status > 0) {
        fprintf(stderr, "%s: ", program);
        print_allow_error(stderr, ULVO_ALLOW_LIST_PATH, list);
    }
    return status == 0 ? 0 : status > 0 ? 1 : refuse("out of memory");
}

// The restore input of each family named, then (unless empty) the allow-list's number of
// entries: without a family only that.
int restore(int argc, char **argv, bool empty) {
    bool fast_path = argc > 0 && strcmp(argv[0], "--fast-path") == 0;
    if (fast_path) {
        --argc;
        ++argv;
    }
    if (empty && argc < 1) {
        return usage();
    }
    int32_t families[2];
    uint16_t queues[2];
    for (int i = 0; i < argc; ++i) {
        if (i >= 2 || !family_of(argv[i], &families[i], &queues[i])) {
            return usage();
        }
    }
    allow_list list{};
    if (!empty && read_list(&list) != 0) {
        free_allow_list(&list);
        return 1;
    }
    int status = 0;
    for (int i = 0; i < argc && status == 0; ++i) {
        status = write_restore_input(stdout, &list, families[i], queues[i], fast_path);
    }
    if (!empty) {
        printf("allow_entries=%d\n", list.count);
    }
    free_allow_list(&list);
    return written();
}

// Prints the record when it is what restore would have written for the family.
int check_record(const char *word, const char *path) {
    int32_t family = 0;
    uint16_t queue = 0;
    if (!family_of(word, &family, &queue)) {
        return usage();
    }
    char *text = nullptr;
    size_t length = 0;
    if (read_checked(path, false, &text, &length) != 0) {
        return 1;
    }
    allow_record_error error{};
    int status = check_restore_record(text, length, family, queue, &error);
    if (status > 0) {
        fprintf(stderr, "%s: ", program);
        print_record_error(stderr, path, &error);
    } else if (status == 0) {
        fwrite(text, 1, length, stdout);
    }
    free(text);
    return status == 0 ? written() : status > 0 ? 1 : refuse("out of memory");
}

}  // namespace

int main(int argc, char **argv) {
    if (argc > 0 && argv[0][0] != '\0') {
        const char *slash = strrchr(argv[0], '/');
        program = slash != nullptr ? slash + 1 : argv[0];
    }
    if (argc == 2 && strcmp(argv[1], "check") == 0) {
        allow_list list{};
        int status = read_list(&list);
        if (status == 0) {
            printf("allow_entries=%d\n", list.count);
            status = written();
        }
        free_allow_list(&list);
        return status;
    }
    if (argc >= 2 && strcmp(argv[1], "restore") == 0) {
        return restore(argc - 2, argv + 2, false);
    }
    if (argc >= 2 && strcmp(argv[1], "restore-empty") == 0) {
        return restore(argc - 2, argv + 2, true);
    }
    if (argc == 4 && strcmp(argv[1], "check-record") == 0) {
        return check_record(argv[2], argv[3]);
    }
    return usage();
}
