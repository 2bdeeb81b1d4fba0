// print_dictionary.cc: prints, from the command table, the libFuzzer
// dictionary of the targets that feed control requests to norvd: the head of
// every command with its number and payload size, and one head that announces
// more than the largest payload. Mutations then start from requests that norvd
// takes whole. Built and run by the fuzz build; nothing here is fuzzed.
#include <cstdint>
#include <cstdio>

#include "wire.h"

namespace {

using namespace norv::wire;

void print_head(const char *name, int32_t number, int32_t length) {
    uint8_t head[request::kHeadSize];
    put_i32le(head, request::kCommand, number);
    put_i32le(head, request::kLength, length);
    std::printf("%s=\"", name);
    for (uint8_t b : head) std::printf("\\x%02X", b);
    std::printf("\"\n");
}

}  // namespace

int main() {
    std::printf("# Heads of the control requests, printed from the command table.\n");
    const Command *largest = &kCommands[0];
    for (const Command &c : kCommands) {
        if (c.payloadSize > largest->payloadSize) largest = &c;
        std::printf("# command %d, %zu payload bytes, %zu reply bytes: %s\n", c.number,
                    c.payloadSize, c.replySize, c.meaning);
        print_head(c.name, c.number, static_cast<int32_t>(c.payloadSize));
    }
    std::printf("# a length no command has: one word past the largest payload\n");
    print_head("too_long", largest->number, static_cast<int32_t>(kMaxPayloadSize + 4));
    return 0;
}
