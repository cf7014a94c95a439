#pragma once

#include <string>

#include "protocol/MessageSink.h"

// What the fuzz targets share: a sink that keeps nothing, and one scratch folder a process for the files
// they write (made at the first call, removed when the process exits; ends with a separator).
class QuietSink final : public orfeo::IMessageSink {
public:
    void ShowMessage(orfeo::MessageKind, const std::string&) override {}
};

const std::string& ScratchFolder();
