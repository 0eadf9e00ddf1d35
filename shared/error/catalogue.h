// The message catalogue: Brazilian Portuguese texts by message id.
#pragma once

#include <cstdint>
#include <string>

namespace tollgate {

class MessageCatalogue {
 public:
  virtual ~MessageCatalogue() = default;
  // The text of `id` with its "%1" … placeholders; empty for an id without a text.
  virtual std::wstring Text(std::uint32_t id) const = 0;
};

// Ids 0 to 9.
class BaseCatalogue : public MessageCatalogue {
 public:
  std::wstring Text(std::uint32_t id) const override;
};

// Ids 10 to 47; lower ids are the base catalogue's.
class AgentCatalogue : public MessageCatalogue {
 public:
  std::wstring Text(std::uint32_t id) const override;

 private:
  BaseCatalogue base_;
};

// The process-wide catalogue, an AgentCatalogue.
const MessageCatalogue& Catalogue();

}  // namespace tollgate
