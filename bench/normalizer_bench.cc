// Normalizer calls per second, for ASCII and non-ASCII inputs. Prints figures only.
#include <cstdio>
#include <string>
#include <vector>

#include "bench_timing.h"
#include "core/engine/normalization/normalizers.h"

namespace {

using namespace osmira_core::engine::normalization;

// Runs `fn` over `inputs` until about half a second has passed; prints calls per second.
template <typename Fn>
void measure(const char* label, const std::vector<std::string>& inputs, Fn fn) {
  size_t sink = 0;  // keeps the results alive so that the calls are not optimised away
  const Timed t = repeat_for_half_second([&] {
    for (const std::string& in : inputs) sink += fn(in);
    return inputs.size();
  });
  std::printf("%-28s %12.0f calls/s  (%.1f ns/call, checksum %zu)\n", label, t.per_second(),
              t.nanos_each(), sink);
}

size_t length(const std::string& s) { return s.size(); }
size_t length(const osmira_base::Result<std::string>& r) { return r.ok() ? r->size() : 1; }

}  // namespace

int main() {
  const char* ascii_names[] = {"  Anne   MARIE ", "John Smith", "ROBERT", "bob", "Mary-Jane Watson",
                               "  William  ", "Xander", "Alexander the Great"};
  const char* unicode_names[] = {"  J\u00d6RG   M\u00dcLLER ", "Jos\u0065\u0301", "\u0130brahim",
                                 "\u039f\u0394\u03a5\u03a3\u03a3\u0395\u03a5\u03a3",
                                 "Zo\u00eb\u00a0Saldana", "Fran\u00e7ois"};
  const char* emails[] = {"  John.Doe@Example.COM ", "j.o.h.n+news@gmail.com", "bad@@x",
                          "someone+tag@googlemail.com", "x@y.org"};
  const char* phones[] = {"(555) 123-4567", "+44 20 7946 0958", "011 44 20 7946 0958",
                          "0044 20 7946 0958", "020 7946 0958", "call me", "+9991234567"};
  const char* domains[] = {"HTTPS://WWW.Example.COM/path", "http://example.org", "www.x.io:8080/a",
                           "plain.net"};
  auto expand = [](auto& list) {
    std::vector<std::string> out;
    for (int i = 0; i < 128; ++i) out.emplace_back(list[i % std::size(list)]);
    return out;
  };
  const auto ascii = expand(ascii_names);
  const auto unicode = expand(unicode_names);
  const auto mail = expand(emails);
  const auto phone = expand(phones);
  const auto domain = expand(domains);

  measure("name (ascii)", ascii, [](const std::string& s) { return length(NameNormalizer::normalize(s)); });
  measure("name (non-ascii)", unicode, [](const std::string& s) { return length(NameNormalizer::normalize(s)); });
  measure("nickname (ascii)", ascii, [](const std::string& s) { return length(NicknameNormalizer::normalize(s)); });
  measure("email", mail, [](const std::string& s) { return length(EmailNormalizer::normalize(s)); });
  measure("phone", phone, [](const std::string& s) { return length(PhoneNormalizer::normalize(s)); });
  measure("domain", domain, [](const std::string& s) { return length(DomainNormalizer::normalize(s)); });
  measure("apply_fs_normalizer(other)", ascii,
          [](const std::string& s) { return length(apply_fs_normalizer("Name", s)); });
  return 0;
}
