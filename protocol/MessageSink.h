#pragma once

#include <string>

namespace orfeo {

enum class MessageKind {
    Problem,  // something the user must act on: a refused run, an entry that was not written
    Ended,    // the closing "Processing ended."
};

// Everything the processing core has to tell the user goes through here, and nowhere else: the core never
// prints or logs. ShowMessage is called one call at a time, in the order the user is to read the messages,
// and the job goes on only when it returns, so a modal message box halts the run until it is dismissed.
// The calls do not all come on one thread: with one worker, on the thread that called the job; with more,
// an entry's messages come on a thread of the run's pipeline (the refusals and the closing messages still on
// the calling thread). A sink that needs one thread (a window's) must hand the call over and wait.
class IMessageSink {
public:
    virtual ~IMessageSink() = default;
    virtual void ShowMessage(MessageKind kind, const std::string& text) = 0;
};

// A path as the messages show it: in double quotes.
inline std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

}  // namespace orfeo
