#include "check.h"

#include "console.h"
#include "firewall_notice.h"

#include <cstdio>
#include <cstring>

namespace {

// The banner is left out: standard output carries the report alone. At the network's start the
// image is loaded and the ports are open; false ends the update there, before the first beacon.
bool take_notice(void* context, const UpdateNotice& notice) {
    if (notice.kind != NOTICE_NETWORK_STARTS)
        return true;
    auto* findings = static_cast<CheckFindings*>(context);
    findings->network_reached = true;
    findings->image_size = notice.image_size;
    findings->digest = digest_image(notice.image, notice.image_size);
    firewall_notice(findings->firewall, sizeof findings->firewall, notice.local_addr);
    return false;
}

// Appends a line to the report; a line that does not fit is left out whole.
void add(char* out, std::size_t capacity, std::size_t* used, const char* text) {
    const std::size_t n = std::strlen(text);
    if (n < capacity - *used) {
        std::memcpy(out + *used, text, n + 1);
        *used += n;
    }
}

// The notice lines, one "label: text" line each, without their "QBupdate: ".
void add_lines(char* out, std::size_t capacity, std::size_t* used, const char* label,
               const char* lines) {
    constexpr char PREFIX[] = "QBupdate: ";
    for (const char* line = lines; *line != '\0';) {
        const char* end = std::strchr(line, '\n');
        const std::size_t length = end == nullptr ? std::strlen(line) : end - line;
        const std::size_t skip =
            std::strncmp(line, PREFIX, sizeof PREFIX - 1) == 0 ? sizeof PREFIX - 1 : 0;
        char text[1200];
        write_line(text, sizeof text, "%s: %.*s\n", label, static_cast<int>(length - skip),
                   line + skip);
        add(out, capacity, used, text);
        line += length + (end != nullptr ? 1 : 0);
    }
}

// The firewall's line, the warnings and the verdict.
void add_verdicts(char* out, std::size_t capacity, std::size_t* used,
                  const CheckFindings& findings) {
    if (!findings.network_reached)
        add(out, capacity, used, "firewall: not asked, as the ports are not open\n");
    else if (findings.firewall[0] != '\0')
        add_lines(out, capacity, used, "firewall", findings.firewall);
    else if (NET_FIREWALL_ASKED)
        add(out, capacity, used,
            "firewall: nothing found that drops the device's requests to QBupdate (or the "
            "firewall did not answer)\n");
    else
        add(out, capacity, used,
            "firewall: not asked (on this system a firewall treats every program alike: it "
            "must let UDP ports 67 and 69 in)\n");
    add_lines(out, capacity, used, "warning", findings.warnings);
    const int status = check_status(findings);
    if (status == EXIT_UPDATED)
        add(out, capacity, used,
            "ready: nothing stands in the way of the update; nothing "
            "was sent\n");
    else {
        char line[160];
        write_line(line, sizeof line,
                   "not ready: the update would end with exit status %d, as the line on "
                   "standard error says; nothing was sent\n",
                   status);
        add(out, capacity, used, line);
    }
}

} // namespace

int check_status(const CheckFindings& findings) {
    if (findings.network_reached && findings.result == UPDATE_ABANDONED)
        return EXIT_UPDATED;
    return exit_status_for(findings.result);
}

void describe_check(char* out, std::size_t capacity, const CheckFindings& findings) {
    std::size_t used = 0;
    out[0] = '\0';
    char path[512];
    char local[16];
    char target[16];
    char name[INTERFACE_NAME_SIZE];
    char line[1024];
    copy_printable(path, sizeof path, findings.serving.image_path);
    format_address(findings.serving.local_addr, local);
    format_address(findings.serving.target_addr, target);
    copy_printable(name, sizeof name, findings.serving.interface_name);
    const int port = failed_port(findings.result);
    if (port != 0)
        write_line(line, sizeof line,
                   "image: '%s' loads (its size and checksums are told once the ports "
                   "open)\n",
                   path);
    else if (findings.network_reached)
        write_line(line, sizeof line, "image: '%s', %lu bytes, SHA-256 %s, CRC-32 %08lx\n", path,
                   static_cast<unsigned long>(findings.image_size),
                   findings.digest.sha256_known ? findings.digest.sha256_hex : "unknown",
                   static_cast<unsigned long>(findings.digest.crc32));
    else
        write_line(line, sizeof line, "image: '%s' cannot be loaded: %s\n", path,
                   image_fault_text(findings.image_fault));
    add(out, capacity, &used, line);
    write_line(line, sizeof line, "target: %s%s, %s\n", target,
               findings.target_given ? "" : " (the default)",
               findings.mode == UPDATE_MODE_BOOT_AREA ? "boot area" : "firmware");
    add(out, capacity, &used, line);
    write_line(line, sizeof line, "serving from: %s on %s\n", local, name);
    add(out, capacity, &used, line);
    if (findings.network_reached)
        write_line(line, sizeof line, "ports: UDP 9, 67 and 69 opened on %s and closed again\n",
                   local);
    else if (port != 0)
        write_line(line, sizeof line, "ports: UDP port %d cannot be opened on %s\n", port, local);
    else
        write_line(line, sizeof line, "ports: not tried, as the image cannot be loaded\n");
    add(out, capacity, &used, line);
    add_verdicts(out, capacity, &used, findings);
}

int run_check(const CommandLine& cl, const ServingFacts& serving, const char* warnings) {
    static CheckFindings findings;
    findings = CheckFindings{};
    findings.serving = serving;
    findings.target_given = cl.target_given;
    findings.mode = cl.mode;
    findings.warnings = warnings;
    UpdateDiagnosis diagnosis{};
    findings.result = update_target(serving.local_addr, serving.target_addr, serving.image_path,
                                    cl.mode, take_notice, &findings, &diagnosis);
    net_cleanup();
    findings.image_fault = diagnosis.image_fault;
    const int status = check_status(findings);
    if (status != EXIT_UPDATED) {
        char line[1024];
        StartContext context;
        context.default_image = !cl.image_given;
        describe_failure(line, sizeof line, findings.result, diagnosis, serving.image_path,
                         serving.local_addr, serving.target_addr, context);
        console_line(line);
    }
    char report[8192];
    describe_check(report, sizeof report, findings);
    console_text(CONSOLE_OUT, report);
    return status;
}
