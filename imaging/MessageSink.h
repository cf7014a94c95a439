#pragma once

#include <string>

namespace orfeo {

enum class MessageKind {
    Problem,  // something the user must act on: a refused run, an entry that was not written
    Ended,    // the closing "Processing ended."
};

// Everything the processing core has to tell the user goes through here, and nowhere else: the core never
// prints or logs. ShowMessage is called on the thread that runs the job, and the job goes on only when it
// returns, so a modal message box halts the run until it is dismissed.
class IMessageSink {
public:
    virtual ~IMessageSink() = default;
    virtual void ShowMessage(MessageKind kind, const std::string& text) = 0;
};

// A path as the messages show it: in double quotes.
inline std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

}  // namespace orfeo
