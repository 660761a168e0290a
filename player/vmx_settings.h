// The settings of a .vmx as the mapping units read them. The first unusable
// value becomes the error; later failures keep the first message.
#pragma once

#include <optional>
#include <string>

#include "player/vmx_config.h"

class VmxSettings {
 public:
  explicit VmxSettings(const VmxConfig& config) : config_(config) {}

  // Null when unset. A value with a control byte (below 0x20) can reach no
  // argument safely, so the configuration is refused; DEL is a valid
  // file-name byte and passes.
  const std::string* Value(const std::string& key);
  // The value, or the empty text when unset.
  std::string Text(const std::string& key);
  // VMware writes TRUE/FALSE; yes and 1 count as true as well.
  bool Flag(const std::string& key, bool absent);
  // A decimal number in [minimum, maximum]; nothing when unset or invalid.
  std::optional<long long> Number(const std::string& key, long long minimum, long long maximum);

  void Fail(const std::string& message);
  const std::string& error() const { return error_; }

 private:
  const VmxConfig& config_;
  std::string error_;
};
