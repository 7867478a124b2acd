#include "firewall_notice.h"

void firewall_notice(char* out, std::size_t capacity, std::uint32_t local_addr) {
    out[0] = '\0';
#if defined(_WIN32)
    FirewallAnswers answers;
    static char program[3 * 32768]; // a wide path's UTF-8
    if (net_firewall_answers(local_addr, &answers, program, sizeof program))
        describe_firewall(out, capacity, answers, program);
#else
    (void)local_addr; // no firewall of its own singles out programs here
    (void)capacity;
#endif
}
