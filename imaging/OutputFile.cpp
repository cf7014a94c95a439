#include "imaging/OutputFile.h"

#include <atomic>
#include <cerrno>
#include <limits>

namespace orfeo {

namespace {
constexpr std::uint64_t kNoFault = std::numeric_limits<std::uint64_t>::max();
std::atomic<std::uint64_t> g_failAfter{kNoFault};
}  // namespace

void OutputFile::FailWritesAfter(std::optional<std::uint64_t> bytes) { g_failAfter = bytes.value_or(kNoFault); }

OutputFile::OutputFile(const std::string& path) {
    m_io.read_proc = Read;
    m_io.write_proc = Write;
    m_io.seek_proc = Seek;
    m_io.tell_proc = Tell;
    if (const std::uint64_t limit = g_failAfter.load(); limit != kNoFault) m_failAfter = limit;
    // Some plug-ins read back what they wrote (TIFF rewrites its directory), hence "w+".
    m_file = std::fopen(path.c_str(), "w+b");
    if (!m_file) m_error = errno ? errno : EIO;
}

OutputFile::~OutputFile() {
    if (m_file) std::fclose(m_file);
}

void OutputFile::Fail(int error) {
    if (m_error == 0) m_error = error ? error : EIO;
}

bool OutputFile::Close() {
    if (!m_file) return false;
    if (std::fflush(m_file) != 0) Fail(errno);
    if (std::fclose(m_file) != 0) Fail(errno);
    m_file = nullptr;
    return m_error == 0;
}

unsigned DLL_CALLCONV OutputFile::Read(void* buffer, unsigned size, unsigned count, fi_handle handle) {
    auto* self = static_cast<OutputFile*>(handle);
    return static_cast<unsigned>(std::fread(buffer, size, count, self->m_file));
}

unsigned DLL_CALLCONV OutputFile::Write(void* buffer, unsigned size, unsigned count, fi_handle handle) {
    auto* self = static_cast<OutputFile*>(handle);
    if (self->m_error != 0) return 0;
    const std::uint64_t bytes = std::uint64_t{size} * count;
    if (self->m_failAfter && self->m_written + bytes > *self->m_failAfter) {
        self->Fail(ENOSPC);
        return 0;
    }
    const std::size_t done = std::fwrite(buffer, size, count, self->m_file);
    if (done != count) self->Fail(errno);
    self->m_written += std::uint64_t{size} * done;
    return static_cast<unsigned>(done);
}

int DLL_CALLCONV OutputFile::Seek(fi_handle handle, long offset, int origin) {
    auto* self = static_cast<OutputFile*>(handle);
    const int result = std::fseek(self->m_file, offset, origin);
    if (result != 0) self->Fail(errno);
    return result;
}

long DLL_CALLCONV OutputFile::Tell(fi_handle handle) {
    return std::ftell(static_cast<OutputFile*>(handle)->m_file);
}

}  // namespace orfeo
