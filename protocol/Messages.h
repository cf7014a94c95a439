#pragma once

#include <cstddef>
#include <string>

namespace orfeo {

// Every text the processing core shows the user, one function each, so that the code that shows a message
// and the tests that expect it share one spelling.

// Refusals before a run looks at the disk.
std::string NoScansMessage();                                           // No scans are yet loaded.
std::string NoScans2Message();                                          // No scans 2 are yet loaded.
std::string FewerScansMessage(std::size_t count1, std::size_t count2);  // the second folder holds fewer pages

// Refusals of a run's folders.
std::string FolderInUseMessage(const std::string& folder);  // another run holds a lock that excludes ours
std::string OutputFolderIsLinkMessage(const std::string& folder);
std::string InputInOutputFolderMessage(const std::string& input, const std::string& folder);
std::string CannotCreateFolderMessage(const std::string& folder);  // Can't create folder <path>
// The reset could not delete `file` of `folder` (or, with no file, read the folder) for `error`.
std::string CannotEmptyFolderMessage(const std::string& folder, const std::string& file, int error);

// Inputs that do not load.
std::string FileNotFoundMessage(const std::string& path);
std::string NotRegularFileMessage(const std::string& path);  // a FIFO, socket or device
// `error`, when not 0, adds the system's reason after a colon (a file that could not be opened).
std::string CannotReadMessage(const std::string& path, int error = 0);
std::string TooLargeMessage(const std::string& path, unsigned width, unsigned height, double maxMegapixels);
std::string DamagedMessage(const std::string& path);  // decoded, but cut short or broken
// A file that loads but whose pixels have no picture to show (a type without one).
std::string PictureUnavailableMessage(const std::string& path);
// Content in a format that Orfeo does not decode; `format` is FreeImage's name for it ("DDS").
std::string UnlistedFormatMessage(const std::string& path, const std::string& format);

// Inputs that do not fit together, and results that are not made or not written.
std::string UnsupportedPixelsMessage(const std::string& page);
std::string MaskNotOneBitMessage(const std::string& mask);
std::string MaskTooSmallMessage(const std::string& mask, const std::string& page);
std::string BackMismatchMessage(const std::string& back, const std::string& page);
std::string OutOfMemoryMessage(const std::string& output);
// `error`, when not 0, adds the system's reason after a colon.
std::string NotWrittenMessage(const std::string& path, int error = 0);

// The page workers (the processes that decode, rule and encode each entry's images).
std::string WorkerNotStartedMessage(const std::string& program, const std::string& reason);
// An entry's worker ended before it answered; `file` is the file it was reading, empty when not known.
std::string WorkerCrashedMessage(const std::string& page, const std::string& file, const std::string& why);
std::string WorkerOutOfTimeMessage(const std::string& page, const std::string& file, unsigned seconds);
std::string WorkerOutOfMemoryMessage(const std::string& page, const std::string& file, unsigned megabytes);
std::string WorkerNonsenseMessage(const std::string& page);  // an answer that breaks the protocol
std::string WorkerNoAnswerMessage(const std::string& page, const std::string& file, unsigned seconds);
std::string WorkerKeptFilesMessage(const std::string& page);  // it held on to a file after it answered

// The end of a run.
std::string UnwrittenPagesMessage(std::size_t missing,
                                  std::size_t entries);                // N of M pages were not written.
std::string StoppedMessage(std::size_t written, std::size_t entries);  // a stop request ended the run
std::string ProcessingEndedMessage();                                  // Processing ended.

}  // namespace orfeo
