// The engine's entry: banner, image loading, the fixed endpoints, and teardown.
#include "upload_state.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>

namespace {

constexpr std::uint64_t MAX_IMAGE_SIZE = 0xFFFFFFFFu;

int fail_image(UpdateDiagnosis* diagnosis, ImageFault fault) {
    if (diagnosis != nullptr)
        diagnosis->image_fault = fault;
    return UPDATE_NO_IMAGE;
}

int fail_port(UpdateDiagnosis* diagnosis, NetFault fault, int result) {
    if (diagnosis != nullptr)
        diagnosis->net_fault = fault;
    return result;
}

// Reads the whole file into the upload's one allocation; the file is closed whatever happens.
int load_image(UploadState& state, std::FILE* file, std::uint64_t file_size,
               UpdateDiagnosis* diagnosis) {
    int result = UPDATE_DONE;
    if (file_size > MAX_IMAGE_SIZE) {
        result = fail_image(diagnosis, IMAGE_TOO_LARGE);
    } else {
        state.image_size = static_cast<std::uint32_t>(file_size);
        // An empty image still gets a buffer, so a null pointer always means "no memory".
        state.image = static_cast<unsigned char*>(std::malloc(file_size > 0 ? file_size : 1));
        if (state.image == nullptr) {
            result = fail_image(diagnosis, IMAGE_NO_MEMORY);
        } else {
            std::size_t got = std::fread(state.image, 1, state.image_size, file);
            // One byte more must not be there: the file has not grown since its size was taken.
            if (got != state.image_size || std::fgetc(file) != EOF || std::ferror(file))
                result = fail_image(diagnosis, IMAGE_UNREADABLE);
        }
    }
    std::fclose(file);
    return result;
}

// Opens the wake, BOOTP and TFTP endpoints, in that order, and stops at the first that fails.
int open_fixed_endpoints(UploadState& state, UpdateDiagnosis* diagnosis) {
    NetFault fault = NET_FAULT_NONE;
    state.wake_sock = open_udp_endpoint(state.local_addr, host_to_net16(WAKE_PORT), 1,
                                        HEAR_LOCAL_ADDRESS, &fault);
    if (state.wake_sock == NET_INVALID_SOCKET)
        return fail_port(diagnosis, fault, UPDATE_NO_WAKE_PORT);
    state.bootp_sock = open_udp_endpoint(state.local_addr, host_to_net16(BOOTP_SERVER_PORT), 1,
                                         HEAR_BROADCASTS, &fault);
    if (state.bootp_sock == NET_INVALID_SOCKET)
        return fail_port(diagnosis, fault, UPDATE_NO_BOOTP_PORT);
    state.bootp_interface = net_interface_index(state.local_addr);
    state.tftp_sock = open_udp_endpoint(state.local_addr, host_to_net16(TFTP_SERVER_PORT), 0,
                                        HEAR_LOCAL_ADDRESS, &fault);
    if (state.tftp_sock == NET_INVALID_SOCKET)
        return fail_port(diagnosis, fault, UPDATE_NO_TFTP_PORT);
    return UPDATE_DONE;
}

// Seeds the data-port generator once per upload. Should the system's source fail, the clock
// still varies the ports from run to run, if less unpredictably.
std::uint32_t port_draw_seed() {
    unsigned char bytes[4];
    if (system_random(bytes, sizeof bytes))
        return get_net32(bytes);
    return static_cast<std::uint32_t>(clock_microseconds());
}

// Image bytes the device has acknowledged in its current transfer.
std::uint32_t bytes_acknowledged(const UploadState& state, int result) {
    if (result == UPDATE_DONE)
        return state.image_size;
    if (state.phase != PHASE_TRANSFERRING)
        return 0;
    const std::uint64_t acknowledged =
        std::uint64_t{state.transfer.current_block - 1} * TFTP_BLOCK_SIZE;
    return static_cast<std::uint32_t>(acknowledged < state.image_size ? acknowledged
                                                                      : state.image_size);
}

// The one way out once the upload has begun to acquire: whatever of it is held is released.
void release_upload(UploadState& state) {
    std::free(state.image);
    state.image = nullptr;
    for (net_socket* s :
         {&state.transfer.data_sock, &state.tftp_sock, &state.bootp_sock, &state.wake_sock}) {
        if (*s != NET_INVALID_SOCKET)
            net_close(*s);
        *s = NET_INVALID_SOCKET;
    }
}

} // namespace

std::FILE* open_image(const char* path, std::uint64_t* size, ImageFault* fault) {
    errno = 0;
    std::FILE* file = file_open_read(path);
    if (file == nullptr) {
        *fault = errno == ENOENT   ? IMAGE_MISSING
                 : errno == EISDIR ? IMAGE_NOT_REGULAR
                 : errno == EACCES ? IMAGE_NO_PERMISSION
                                   : IMAGE_UNREADABLE;
        return nullptr;
    }
    const FileKind kind = file_kind(file, size);
    if (kind != FILE_KIND_REGULAR) {
        std::fclose(file);
        *fault = kind == FILE_KIND_OTHER ? IMAGE_NOT_REGULAR : IMAGE_UNREADABLE;
        return nullptr;
    }
    *fault = IMAGE_OK;
    return file;
}

bool tell_front_end(const UploadState& state, const UpdateNotice& notice) {
    return state.notice == nullptr || state.notice(notice);
}

net_socket open_udp_endpoint(std::uint32_t local_addr, std::uint16_t port, int broadcast,
                             Hearing hearing, NetFault* fault) {
    net_socket s = net_udp_socket();
    if (s == NET_INVALID_SOCKET) {
        if (fault != nullptr)
            *fault = net_last_fault();
        return NET_INVALID_SOCKET;
    }
    net_allow_broadcast(s, broadcast != 0);
    if (!net_bind(s, local_addr, port, hearing == HEAR_BROADCASTS)) {
        if (fault != nullptr)
            *fault = net_last_fault();
        net_close(s);
        return NET_INVALID_SOCKET;
    }
    return s;
}

int update_target(std::uint32_t local_addr, std::uint32_t target_addr, const char* image_path,
                  UpdateMode mode, progress_callback progress, UpdateDiagnosis* diagnosis,
                  notice_callback notice) {
    if (diagnosis != nullptr)
        *diagnosis = UpdateDiagnosis{IMAGE_OK, NET_FAULT_NONE};

    std::uint64_t file_size = 0;
    ImageFault open_fault = IMAGE_OK;
    std::FILE* file = open_image(image_path, &file_size, &open_fault);
    if (file == nullptr)
        return fail_image(diagnosis, open_fault);

    UpdateNotice shown{};
    shown.kind = NOTICE_BANNER;
    shown.banner = mode == UPDATE_MODE_BOOT_AREA ? " Updating QuibbleBox Boot Area\n"
                                                 : " Updating QuibbleBox Firmware\n";
    if (notice != nullptr) {
        notice(shown);
    } else {
        std::fputs(shown.banner, stdout);
        std::fflush(stdout);
    }

    UploadState state{};
    state.wake_sock = state.bootp_sock = state.tftp_sock = NET_INVALID_SOCKET;
    state.transfer.data_sock = NET_INVALID_SOCKET;
    state.local_addr = local_addr;
    state.target_addr = target_addr;
    state.mode = mode;
    state.progress = progress;
    state.notice = notice;
    state.port_draw = port_draw_seed();
    int result = load_image(state, file, file_size, diagnosis);
    if (result == UPDATE_DONE)
        result = open_fixed_endpoints(state, diagnosis);
    if (result == UPDATE_DONE) {
        UpdateNotice starts{};
        starts.kind = NOTICE_NETWORK_STARTS;
        starts.server_addr = local_addr;
        result = tell_front_end(state, starts) ? run_event_loop(state) : UPDATE_ABANDONED;
        if (result == UPDATE_WAIT_FAILED && diagnosis != nullptr)
            diagnosis->net_fault = state.wait_fault;
        if (diagnosis != nullptr) {
            diagnosis->units = state.units;
            diagnosis->bytes_acknowledged = bytes_acknowledged(state, result);
        }
    }
    release_upload(state);
    return result;
}
