#include "core/proxy/digest.h"

#include "core/text/text.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <array>
#include <cstdlib>

namespace tavrix {

namespace {

std::string Hex(const unsigned char* bytes, std::size_t size)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < size; ++i) {
        out.push_back(kDigits[bytes[i] >> 4]);
        out.push_back(kDigits[bytes[i] & 0xf]);
    }
    return out;
}

bool IsHex(std::string_view text)
{
    return text.find_first_not_of("0123456789abcdefABCDEF") == std::string_view::npos;
}

// Equal texts, compared in a time that does not depend on where they differ.
bool SameSecret(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

} // namespace

UsersFile ParseUsers(std::string_view text, std::string_view realm)
{
    UsersFile file;
    file.users.Realm = std::string(realm);
    int number = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++number;
        if (line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        if (TrimSpaces(line).empty() || line.starts_with('#')) {
            continue;
        }
        const std::size_t first = line.find(':');
        const std::size_t second = line.find(':', first == std::string_view::npos ? 0 : first + 1);
        const std::string_view ha1 =
            second == std::string_view::npos ? std::string_view() : line.substr(second + 1);
        if (first == 0 || second == std::string_view::npos || ha1.size() != 32 || !IsHex(ha1)) {
            file.errorLine = number;
            file.error = "expected user:realm:HA1 (32 hex digits)";
            return file;
        }
        const std::string_view lineRealm = line.substr(first + 1, second - first - 1);
        if (file.users.Realm.empty()) {
            file.users.Realm = std::string(lineRealm);
        }
        if (lineRealm == file.users.Realm) {
            std::string lower(ha1);
            for (char& c : lower) {
                c = static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
            }
            file.users.Ha1[std::string(line.substr(0, first))] = lower;
        }
    }
    return file;
}

std::optional<Credentials> ParseDigest(std::string_view value)
{
    value = TrimSpaces(value);
    if (value.size() < 7 || !(value.starts_with("Digest") || value.starts_with("digest")) ||
        (value[6] != ' ' && value[6] != '\t')) {
        return std::nullopt;
    }
    Credentials out;
    const std::pair<std::string_view, std::string*> fields[] = {{"username", &out.Username},
                                                                {"realm", &out.Realm},
                                                                {"nonce", &out.Nonce},
                                                                {"uri", &out.Uri},
                                                                {"response", &out.Response},
                                                                {"qop", &out.Qop},
                                                                {"nc", &out.Nc},
                                                                {"cnonce", &out.Cnonce},
                                                                {"algorithm", &out.Algorithm}};
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == ','; };
    std::size_t at = 7;
    while (at < value.size()) {
        while (at < value.size() && blank(value[at])) {
            ++at;
        }
        const std::size_t equals = value.find('=', at);
        if (equals == std::string_view::npos) {
            break;
        }
        std::string_view name = value.substr(at, equals - at);
        while (!name.empty() && blank(name.back())) {
            name.remove_suffix(1);
        }
        at = equals + 1;
        while (at < value.size() && (value[at] == ' ' || value[at] == '\t')) {
            ++at;
        }
        std::size_t end = 0;
        std::string_view param;
        if (at < value.size() && value[at] == '"') {
            end = std::min(value.find('"', at + 1), value.size());
            param = value.substr(at + 1, end - at - 1);
            ++end;
        } else {
            end = std::min(value.find(',', at), value.size());
            param = TrimSpaces(value.substr(at, end - at));
        }
        for (const auto& [field, target] : fields) {
            if (name == field) {
                *target = std::string(param);
            }
        }
        at = end;
    }
    return out;
}

std::string Md5Hex(std::string_view text)
{
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned size = 0;
    if (EVP_Digest(text.data(), text.size(), digest.data(), &size, EVP_md5(), nullptr) != 1) {
        return {};
    }
    return Hex(digest.data(), size);
}

std::string DigestResponse(std::string_view ha1, const Credentials& c, std::string_view method)
{
    const std::string ha2 = Md5Hex(Cat(method, ":", c.Uri));
    if (ha2.empty()) {
        return {};
    }
    return Md5Hex(Cat(ha1, ":", c.Nonce, ":", c.Nc, ":", c.Cnonce, ":", c.Qop, ":", ha2));
}

bool SystemRandom::Fill(unsigned char* bytes, std::size_t size)
{
    return RAND_bytes(bytes, static_cast<int>(size)) == 1;
}

Authenticator::Authenticator(Users users, RandomSource& random)
    : m_users(std::move(users)), m_random(random), m_key(32, '\0')
{
    if (!m_random.Fill(reinterpret_cast<unsigned char*>(m_key.data()), m_key.size())) {
        m_key.clear(); // a guessable key would let anyone forge nonces
    }
}

std::string Authenticator::Nonce(std::int64_t issued, std::string_view salt) const
{
    // The issue time and a random part, signed together: every challenge has its own nonce,
    // so phones that start their counts at 1 in the same second do not meet.
    std::string signedPart;
    for (int shift = 56; shift >= 0; shift -= 8) {
        signedPart.push_back(
            static_cast<char>((static_cast<std::uint64_t>(issued) >> shift) & 0xff));
    }
    signedPart.append(salt);
    std::array<unsigned char, EVP_MAX_MD_SIZE> mac{};
    unsigned size = 0;
    if (m_key.empty() ||
        HMAC(EVP_sha256(), m_key.data(), static_cast<int>(m_key.size()),
             reinterpret_cast<const unsigned char*>(signedPart.data()), signedPart.size(),
             mac.data(), &size) == nullptr ||
        size < 16) {
        return {};
    }
    return Hex(reinterpret_cast<const unsigned char*>(signedPart.data()), signedPart.size()) +
           Hex(mac.data(), 16);
}

std::optional<std::string> Authenticator::Challenge(std::int64_t now, bool stale) const
{
    std::string salt(kSaltBytes, '\0');
    if (!m_random.Fill(reinterpret_cast<unsigned char*>(salt.data()), salt.size())) {
        return std::nullopt;
    }
    const std::string nonce = Nonce(now, salt);
    if (nonce.empty()) {
        return std::nullopt;
    }
    return Cat("Digest realm=\"", m_users.Realm, "\", nonce=\"", nonce,
               "\", algorithm=MD5, qop=\"auth\"", stale ? ", stale=true" : "");
}

Authenticator::Verdict Authenticator::Check(std::string_view value, std::string_view user,
                                            std::string_view method, std::int64_t now)
{
    const std::optional<Credentials> c = ParseDigest(value);
    if (!c || c->Realm != m_users.Realm) {
        return Verdict::Challenge;
    }
    // The nonce must be one of ours (its time signed with our key) and young enough.
    const bool wellFormed = c->Nonce.size() == kNonceSize && IsHex(c->Nonce);
    const std::int64_t issued =
        wellFormed
            ? static_cast<std::int64_t>(std::strtoull(c->Nonce.substr(0, 16).c_str(), nullptr, 16))
            : -1;
    std::string salt;
    for (std::size_t i = 16; wellFormed && i < 16 + 2 * kSaltBytes; i += 2) {
        salt.push_back(static_cast<char>(std::stoi(c->Nonce.substr(i, 2), nullptr, 16)));
    }
    const std::string expected = issued < 0 ? std::string() : Nonce(issued, salt);
    if (expected.empty() || !SameSecret(expected, c->Nonce) || now - issued > kNonceLife ||
        issued > now) {
        return Verdict::Stale;
    }
    const auto known = m_users.Ha1.find(c->Username);
    const unsigned long nc =
        IsHex(c->Nc) && !c->Nc.empty() ? std::strtoul(c->Nc.c_str(), nullptr, 16) : 0;
    // An unknown user's answer is checked against a secret nobody has, so that known and
    // unknown names take the same time and a guesser learns nothing of which exist.
    static constexpr std::string_view kNobody = "00000000000000000000000000000000";
    const std::string answer =
        DigestResponse(known == m_users.Ha1.end() ? kNobody : known->second, *c, method);
    const bool right = SameSecret(answer, c->Response) && !answer.empty();
    if (c->Username != user || known == m_users.Ha1.end() || !right || c->Qop != "auth" ||
        nc == 0 || (!c->Algorithm.empty() && c->Algorithm != "MD5")) {
        return Verdict::Refused;
    }
    unsigned long& highest = m_counts[c->Nonce];
    if (nc <= highest) {
        return Verdict::Refused; // the same answer again: a replay
    }
    highest = nc;
    return Verdict::Accepted;
}

void Authenticator::Tick(std::int64_t now)
{
    std::erase_if(m_counts, [now](const auto& entry) {
        const std::int64_t issued = static_cast<std::int64_t>(
            std::strtoull(entry.first.substr(0, 16).c_str(), nullptr, 16));
        return now - issued > kNonceLife;
    });
}

} // namespace tavrix
