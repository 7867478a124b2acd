// The engine's entry: banner, image loading, the fixed endpoints, and teardown.
#include "upload_state.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

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
    int result = UPDATE_GOES_ON;
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
    close_endpoints(state);
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
    return state.notice == nullptr || state.notice(state.context, notice);
}

void tell_progress(const UploadState& state, std::uint32_t percent) {
    if (state.notice == nullptr)
        return;
    UpdateNotice notice{};
    notice.kind = NOTICE_PROGRESS;
    notice.percent = percent;
    state.notice(state.context, notice);
}

int update_target(std::uint32_t local_addr, std::uint32_t target_addr, const char* image_path,
                  UpdateMode mode, notice_callback notice, void* context,
                  UpdateDiagnosis* diagnosis) {
    if (diagnosis != nullptr)
        *diagnosis = UpdateDiagnosis{IMAGE_OK, NET_FAULT_NONE};

    std::uint64_t file_size = 0;
    ImageFault open_fault = IMAGE_OK;
    std::FILE* file = open_image(image_path, &file_size, &open_fault);
    if (file == nullptr)
        return fail_image(diagnosis, open_fault);

    UploadState state{};
    for (net_socket& s : state.endpoints)
        s = NET_INVALID_SOCKET;
    state.transfer.data_sock = NET_INVALID_SOCKET;
    state.local_addr = local_addr;
    state.target_addr = target_addr;
    state.mode = mode;
    state.notice = notice;
    state.context = context;
    UpdateNotice opened{};
    opened.kind = NOTICE_IMAGE_OPENED;
    opened.mode = mode;
    tell_front_end(state, opened);
    state.port_draw = port_draw_seed();
    int result = load_image(state, file, file_size, diagnosis);
    if (result == UPDATE_GOES_ON) {
        NetFault fault = NET_FAULT_NONE;
        result = open_fixed_endpoints(state, &fault);
        if (result != UPDATE_GOES_ON)
            fail_port(diagnosis, fault, result);
    }
    if (result == UPDATE_GOES_ON) {
        UpdateNotice starts{};
        starts.kind = NOTICE_NETWORK_STARTS;
        starts.local_addr = local_addr;
        starts.image = state.image;
        starts.image_size = state.image_size;
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
