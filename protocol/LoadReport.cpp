#include "protocol/LoadReport.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "protocol/ImageFormats.h"
#include "protocol/Messages.h"

#if defined(__unix__)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace orfeo {

namespace fs = std::filesystem;

int OpenImageFile(const std::string& path, LoadReport& report) {
    report = LoadReport{};
    LoadProblem& problem = report.problem;
#if defined(__unix__)
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        problem = errno == ENOENT || errno == ENOTDIR ? LoadProblem::NotFound : LoadProblem::CannotRead;
        if (problem == LoadProblem::CannotRead) report.error = errno;
        return -1;
    }
    if (!S_ISREG(status.st_mode)) {
        problem = S_ISDIR(status.st_mode) ? LoadProblem::CannotRead : LoadProblem::NotRegular;
        return -1;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        problem = errno == ENOENT ? LoadProblem::NotFound : LoadProblem::CannotRead;
        if (problem == LoadProblem::CannotRead) report.error = errno;
        return -1;
    }
    // Something else may have taken the file's place between the two looks.
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        problem = LoadProblem::NotRegular;
        return -1;
    }
    return fd;
#else
    std::error_code error;
    problem = fs::exists(fs::path(path), error) ? LoadProblem::CannotRead : LoadProblem::NotFound;
    if (problem == LoadProblem::NotFound) return -1;
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd >= 0) problem = LoadProblem::None;
    return fd;
#endif
}

void ShowLoadProblem(const LoadReport& report, const std::string& path, double maxMegapixels,
                     IMessageSink& messages) {
    std::string text;
    switch (report.problem) {
        case LoadProblem::None:
            return;
        case LoadProblem::NotFound:
            text = FileNotFoundMessage(path);
            break;
        case LoadProblem::NotRegular:
            text = NotRegularFileMessage(path);
            break;
        case LoadProblem::CannotRead:
            text = CannotReadMessage(path, report.error);
            break;
        case LoadProblem::Damaged:
            text = DamagedMessage(path);
            break;
        case LoadProblem::TooLarge:
            text = TooLargeMessage(path, report.width, report.height, maxMegapixels);
            break;
        case LoadProblem::UnlistedFormat: {
            text = UnlistedFormatMessage(path, std::string(FormatName(report.format)));
            break;
        }
    }
    messages.ShowMessage(MessageKind::Problem, text);
}

}  // namespace orfeo
