#pragma once
// Text that holds private key material, wiped when it is let go.
//
// Only the object's own buffer is wiped: a copy made from text() (a Python
// bytes object, say) is the copier's to look after.
#include <string>
#include <string_view>

namespace tessary::signing {

class SecretText {
 public:
  SecretText() = default;
  explicit SecretText(std::string_view text) : text_(text) {}
  SecretText(const SecretText&) = delete;
  SecretText& operator=(const SecretText&) = delete;
  // A moved-from string keeps its inline buffer, which the destructor still wipes.
  SecretText(SecretText&&) noexcept = default;
  SecretText& operator=(SecretText&& other) noexcept;
  ~SecretText() { wipe(); }

  std::string_view text() const noexcept { return text_; }

 private:
  void wipe() noexcept;
  std::string text_;
};

}  // namespace tessary::signing
