#include "run/OutputFolder.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "protocol/Messages.h"
#include "scan/FolderScan.h"
#include "scan/Paths.h"

#if defined(__unix__)
#include <fcntl.h>
#include <unistd.h>
#endif

namespace orfeo {

namespace fs = std::filesystem;

bool ResetOutputFolder(const std::string& folder, ResetFailure* failure) {
    const std::string base = WithTrailingSeparator(folder);
    const std::string bare = WithoutTrailingSeparator(base);
    ResetFailure ignored;
    ResetFailure& failed = failure ? *failure : ignored;
    failed = ResetFailure{};
#if defined(__unix__)
    // The folder is opened without following a link, and its files are deleted relative to what was
    // opened: a link in its place, or one swapped in during the reset, never leads the deletions elsewhere.
    const int dir = ::open(bare.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0) {
        // Nothing there, or a link (refused before a run), is no failure to empty it.
        if (errno != ENOENT && errno != ELOOP && errno != ENOTDIR) failed.error = errno;
        return false;
    }
    bool allRemoved = true;
    ForEachFolderFile(base, [&](const std::string& name) {
        allRemoved = ::unlinkat(dir, name.c_str(), 0) == 0 || errno == ENOENT;
        if (!allRemoved) failed = {name, errno};
        return allRemoved;
    });
    ::close(dir);
    return allRemoved && ::rmdir(bare.c_str()) == 0;
#else
    bool allRemoved = true;
    ForEachFolderFile(base, [&](const std::string& name) {
        std::error_code removeError;
        allRemoved = fs::remove(fs::path(base + name), removeError) && !removeError;
        if (!allRemoved) failed = {name, removeError.value()};
        return allRemoved;
    });
    if (!allRemoved) return false;
    std::error_code removeError;
    return fs::remove(fs::path(base), removeError) && !removeError;
#endif
}

bool PrepareOutputFolder(const std::string& folder, IMessageSink& messages) {
    ResetFailure failure;
    ResetOutputFolder(folder, &failure);
    if (failure.error != 0) {
        const std::string file =
            failure.file.empty() ? std::string() : WithTrailingSeparator(folder) + failure.file;
        messages.ShowMessage(MessageKind::Problem, CannotEmptyFolderMessage(folder, file, failure.error));
    }
    std::error_code error;
    fs::create_directory(fs::path(folder), error);
    if (fs::is_directory(fs::path(folder), error)) return true;
    messages.ShowMessage(MessageKind::Problem, CannotCreateFolderMessage(folder));
    return false;
}

bool CheckOutputFolder(const std::string& folder, const std::vector<std::string>& inputs,
                       IMessageSink& messages) {
    const std::string bare = WithoutTrailingSeparator(folder);
    std::error_code error;
    if (fs::is_symlink(fs::path(bare), error)) {
        messages.ShowMessage(MessageKind::Problem, OutputFolderIsLinkMessage(folder));
        return false;
    }
    const fs::path output(bare);
    if (!fs::is_directory(output, error)) return true;  // nothing there yet that an input could lie in
    // The inputs of a run mostly share a few folders: the last one looked at is remembered.
    fs::path lastFolder;
    bool lastInside = false;
    for (const std::string& input : inputs) {
        const fs::path path(input);
        const fs::file_status status = fs::symlink_status(path, error);
        if (error || !fs::exists(status)) continue;
        fs::path real = path;
        if (fs::is_symlink(status)) {
            real = fs::canonical(path, error);
            if (error) continue;
        }
        fs::path parent = real.parent_path();
        if (parent.empty()) parent = ".";
        if (parent != lastFolder || lastFolder.empty()) {
            lastFolder = parent;
            lastInside = fs::equivalent(parent, output, error) && !error;
        }
        if (lastInside) {
            messages.ShowMessage(MessageKind::Problem, InputInOutputFolderMessage(input, folder));
            return false;
        }
    }
    return true;
}

}  // namespace orfeo
