// The words for the firewall's answers. Apart from firewall_notice.cpp, so that a build whose
// system singles out no program (Linux) links none of them into QBupdate.
#include "firewall_notice.h"
#include "report.h"

#include <cstdio>

namespace {

constexpr std::uint32_t FIREWALL_PROFILES[] = {FIREWALL_DOMAIN, FIREWALL_PRIVATE, FIREWALL_PUBLIC};

bool covers_udp(const FirewallRule& rule) {
    return rule.protocol == FIREWALL_PROTOCOL_UDP || rule.protocol == FIREWALL_PROTOCOL_ANY;
}

// The active profiles, among those in which the firewall is on, where an enabled inbound rule
// for UDP with this action covers the profile.
std::uint32_t profiles_with_rule(const FirewallAnswers& answers, bool allow) {
    std::uint32_t found = 0;
    for (int i = 0; i < answers.rule_count && i < FIREWALL_MAX_RULES; ++i) {
        const FirewallRule& rule = answers.rules[i];
        if (rule.enabled && rule.inbound && rule.allow == allow && covers_udp(rule))
            found |= rule.profiles;
    }
    return found & answers.device_profile & answers.enabled_profiles;
}

// "the Public profile", "the Private and Public profiles", ...
void name_profiles(char (&out)[64], std::uint32_t profiles) {
    const char* names[3] = {"", "", ""};
    const char* all_names[3] = {"Domain", "Private", "Public"};
    int count = 0;
    for (int i = 0; i < 3; ++i)
        if (profiles & FIREWALL_PROFILES[i])
            names[count++] = all_names[i];
    if (count <= 1)
        std::snprintf(out, sizeof out, "the %s profile", names[0]);
    else if (count == 2)
        std::snprintf(out, sizeof out, "the %s and %s profiles", names[0], names[1]);
    else
        std::snprintf(out, sizeof out, "the %s, %s and %s profiles", names[0], names[1], names[2]);
}

// Where local rules do not take effect (Group Policy turned local rule merging off, or the
// firewall blocks all unsolicited inbound traffic), no rule or prompt on this PC helps, and the
// line says who can fix it.
void describe_local_rules_ignored(char* out, std::size_t capacity, const FirewallAnswers& answers,
                                  const char* profiles, const char* program_path) {
    bool whole = false;
    if (answers.local_rules == FIREWALL_LOCAL_RULES_OVERRIDDEN_BY_POLICY)
        whole = write_line(out, capacity,
                           "QBupdate: Group Policy keeps firewall rules made on this PC from "
                           "applying in %s of the network facing the device, so the device's "
                           "BOOTP and TFTP requests will be dropped unless IT's policy allows "
                           "them: only IT can fix this, with a rule by policy allowing inbound "
                           "UDP ports 67 and 69 for \"%s\" in all profiles\n",
                           profiles, program_path);
    else
        whole = write_line(out, capacity,
                           "QBupdate: Windows Defender Firewall blocks all incoming connections "
                           "in %s of the network facing the device, whatever rules allow "
                           "QBupdate, so the device's BOOTP and TFTP requests will not reach it: "
                           "ask IT, or where no policy set this an administrator can clear "
                           "\"Blocks all incoming connections\" in Windows Security, Firewall & "
                           "network protection, for that network\n",
                           profiles);
    if (!whole)
        write_line(out, capacity,
                   "QBupdate: firewall rules made on this PC do not apply in %s of the "
                   "network facing the device, so the device's BOOTP and TFTP requests will "
                   "be dropped: ask IT; README.txt, beside the program, gives the rule\n",
                   profiles);
}

} // namespace

// Explicit block rules win over allow rules, and inbound traffic that no rule allows is dropped
// by default ("Windows Firewall rules", Microsoft Learn): a block rule for the program in an
// active profile drops the device's requests whatever else is allowed.
void describe_firewall(char* out, std::size_t capacity, const FirewallAnswers& answers,
                       const char* program_path) {
    out[0] = '\0';
    const std::uint32_t active = answers.device_profile & answers.enabled_profiles;
    if (active == 0)
        return;
    char profiles[64];
    if (answers.local_rules != FIREWALL_LOCAL_RULES_APPLY) {
        name_profiles(profiles, active);
        describe_local_rules_ignored(out, capacity, answers, profiles, program_path);
        return;
    }
    const std::uint32_t blocked = profiles_with_rule(answers, false);
    const std::uint32_t not_allowed = active & ~profiles_with_rule(answers, true);
    if (blocked == 0 && not_allowed == 0)
        return;
    name_profiles(profiles, blocked != 0 ? blocked : not_allowed);
    const char* what = blocked != 0 ? "a Windows Defender Firewall rule blocks inbound UDP"
                                    : "no Windows Defender Firewall rule allows inbound UDP";
    // The prompt's Public networks box is the one left clear, and a direct cable is Public.
    const char* then = blocked != 0 ? "the device's BOOTP and TFTP requests will not reach it"
                       : (not_allowed & FIREWALL_PUBLIC) != 0
                           ? "the device's BOOTP and TFTP requests will be dropped unless you "
                             "allow QBupdate if Windows asks now, ticking Public networks"
                           : "the device's BOOTP and TFTP requests will be dropped unless you "
                             "allow QBupdate if Windows asks now";
    // A netsh command with its path cut would be wrong: a long path gets the short form.
    const bool whole = write_line(
        out, capacity,
        "QBupdate: %s for %s in %s, so %s: as administrator, run netsh advfirewall firewall "
        "delete rule name=all dir=in program=\"%s\" and netsh advfirewall firewall add rule "
        "name=QBupdate dir=in action=allow protocol=udp localport=67,69 remoteip=any "
        "interfacetype=lan profile=any program=\"%s\", or install QBupdate with its installer "
        "and use the installed program; "
        "on a managed PC ask IT\n",
        what, program_path, profiles, then, program_path, program_path);
    if (!whole)
        write_line(out, capacity,
                   "QBupdate: %s for this program in %s, so %s: README.txt, beside the "
                   "program, says how to allow it\n",
                   what, profiles, then);
}
