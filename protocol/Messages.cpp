#include "protocol/Messages.h"

#include <sstream>
#include <system_error>

#include "protocol/MessageSink.h"

namespace orfeo {

namespace {

std::string AboutFile(const std::string& path, const std::string& what) {
    return "File " + Quoted(path) + what;
}

}  // namespace

std::string NoScansMessage() { return "No scans are yet loaded."; }

std::string NoScans2Message() { return "No scans 2 are yet loaded."; }

std::string FewerScansMessage(std::size_t count1, std::size_t count2) {
    return "Folder 2 holds fewer scans (" + std::to_string(count2) + ") than folder 1 (" +
           std::to_string(count1) + ").";
}

std::string FolderInUseMessage(const std::string& folder) {
    return "Folder " + Quoted(folder) + " is in use by another run.";
}

std::string OutputFolderIsLinkMessage(const std::string& folder) {
    return "Output folder " + Quoted(folder) + " is a link; Orfeo writes only into a real folder.";
}

std::string InputInOutputFolderMessage(const std::string& input, const std::string& folder) {
    return AboutFile(input, " lies in the output folder " + Quoted(folder) + ", which the run empties.");
}

std::string CannotCreateFolderMessage(const std::string& folder) { return "Can't create folder " + folder; }

std::string CannotEmptyFolderMessage(const std::string& folder, const std::string& file, int error) {
    const std::string reason = std::generic_category().message(error);
    const std::string what = file.empty() ? "Folder " + Quoted(folder) + " could not be emptied: " + reason
                                          : "File " + Quoted(file) + " could not be deleted: " + reason;
    return what + "; the folder " + Quoted(folder) + " still holds what an earlier run wrote.";
}

std::string FileNotFoundMessage(const std::string& path) { return AboutFile(path, " not found."); }

std::string NotRegularFileMessage(const std::string& path) {
    return AboutFile(path, " is not a regular file.");
}

std::string CannotReadMessage(const std::string& path, int error) {
    const std::string reason = error ? ": " + std::generic_category().message(error) : std::string();
    return AboutFile(path, " cannot be read" + reason + ".");
}

std::string TooLargeMessage(const std::string& path, unsigned width, unsigned height, double maxMegapixels) {
    std::ostringstream limit;
    limit << maxMegapixels;
    return AboutFile(path, " is too large: " + std::to_string(width) + " x " + std::to_string(height) +
                               " pixels, more than " + limit.str() + " megapixels.");
}

std::string PictureUnavailableMessage(const std::string& path) {
    return "File " + Quoted(path) + " holds pixels that cannot be shown.";
}

std::string DamagedMessage(const std::string& path) { return AboutFile(path, " is truncated or damaged."); }

std::string UnlistedFormatMessage(const std::string& path, const std::string& format) {
    const std::string what = format.empty() ? " is in a format" : " is a " + format + " image;";
    return AboutFile(path, what + " Orfeo reads only BMP, JPEG, GIF, TIFF, PNG and PNM images.");
}

std::string UnsupportedPixelsMessage(const std::string& page) {
    return AboutFile(page, " has a pixel type that cannot be processed.");
}

std::string MaskNotOneBitMessage(const std::string& mask) {
    return "Mask " + Quoted(mask) + " is not one bit deep.";
}

std::string MaskTooSmallMessage(const std::string& mask, const std::string& page) {
    return "Mask " + Quoted(mask) + " is smaller than its page " + Quoted(page) + ".";
}

std::string BackMismatchMessage(const std::string& back, const std::string& page) {
    return "Back subscan " + Quoted(back) + " differs from " + Quoted(page) + " in size or depth.";
}

std::string OutOfMemoryMessage(const std::string& output) {
    return "Not enough memory to make " + Quoted(output) + ".";
}

std::string WorkerNotStartedMessage(const std::string& program, const std::string& reason) {
    return "The page worker " + Quoted(program) + " could not be started: " + reason + ".";
}

namespace {

std::string PageNotWritten(const std::string& page) { return "Page " + Quoted(page) + " was not written: "; }

}  // namespace

std::string WorkerCrashedMessage(const std::string& page, const std::string& file, const std::string& why) {
    const std::string where = file.empty() ? std::string() : " reading " + Quoted(file);
    return PageNotWritten(page) + "its worker crashed" + where + " (" + why + ").";
}

std::string WorkerOutOfTimeMessage(const std::string& page, const std::string& file, unsigned seconds) {
    const std::string what = file.empty() ? "its work" : "reading " + Quoted(file);
    return PageNotWritten(page) + what + " took more than " + std::to_string(seconds) +
           " seconds of processor time.";
}

std::string WorkerOutOfMemoryMessage(const std::string& page, const std::string& file, unsigned megabytes) {
    const std::string what = file.empty() ? "its work" : "reading " + Quoted(file);
    return PageNotWritten(page) + what + " needed more than the " + std::to_string(megabytes) +
           " MB of memory a page may use.";
}

std::string WorkerNonsenseMessage(const std::string& page) {
    return PageNotWritten(page) + "its worker gave an answer that makes no sense.";
}

std::string WorkerNoAnswerMessage(const std::string& page, const std::string& file, unsigned seconds) {
    const std::string where = file.empty() ? std::string() : " reading " + Quoted(file);
    return PageNotWritten(page) + "its worker did not answer within " + std::to_string(seconds) + " seconds" +
           where + ".";
}

std::string WorkerKeptFilesMessage(const std::string& page) {
    return PageNotWritten(page) + "its worker kept a file open after it answered, and was stopped.";
}

std::string UnwrittenPagesMessage(std::size_t missing, std::size_t entries) {
    return std::to_string(missing) + " of " + std::to_string(entries) + (entries == 1 ? " page" : " pages") +
           (missing == 1 ? " was" : " were") + " not written.";
}

std::string NotWrittenMessage(const std::string& path, int error) {
    const std::string reason = error ? ": " + std::generic_category().message(error) : std::string();
    return AboutFile(path, " could not be written" + reason + ".");
}

std::string StoppedMessage(std::size_t written, std::size_t entries) {
    return "Stopped: " + std::to_string(written) + " of " + std::to_string(entries) + " scans written.";
}

std::string ProcessingEndedMessage() { return "Processing ended."; }

}  // namespace orfeo
