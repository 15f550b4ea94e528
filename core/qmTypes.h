// Basic value types shared by every subsystem.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qm {

class TObject;

/// Growable byte buffer: encoders, the translator, hashes and DNS packets
/// exchange data in it.
using TqmByteArray = std::vector<uint8_t>;

/// Notification carrying only the sender.
using TNotifyEvent = std::function<void(TObject* Sender)>;

/// Progress while data is read, sent, loaded or encoded.
using TqmProgressEvent =
    std::function<void(TObject* Sender, int64_t ABytesProceed, int64_t ATotalBytes)>;

/// Days since 30 December 1899; the fraction is the time of day.
using TDateTime = double;

}  // namespace qm
