#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

// SIP digest authentication (RFC 3261 22, RFC 2617): the users an operator keeps with Apache's
// htdigest, the nonces the proxy hands out and the answers it checks. Hashes and random bytes
// come from OpenSSL.
namespace tavrix {

// The users of one realm: user name -> HA1, the MD5 of "user:realm:password" in hex.
struct Users
{
    std::string Realm;
    std::unordered_map<std::string, std::string> Ha1;
};

// Reads an htdigest file ("user:realm:HA1" lines; blank lines and "#" comments skipped). The
// realm is the given one, else the first line's; lines of other realms are left out. A line
// that is not three fields with a 32-digit hex HA1: its number (from 1) and what is wrong.
struct UsersFile
{
    Users users;
    int errorLine = 0;
    std::string error;
};
UsersFile ParseUsers(std::string_view text, std::string_view realm = {});

// The parameters of a "Digest ..." header value; none for another scheme or no value.
struct Credentials
{
    std::string Username, Realm, Nonce, Uri, Response, Qop, Nc, Cnonce, Algorithm;
};
std::optional<Credentials> ParseDigest(std::string_view value);

// MD5 of the text, 32 lower-case hex digits; empty when OpenSSL fails.
std::string Md5Hex(std::string_view text);

// The expected "response" of RFC 2617 3.2.2.1 with qop=auth; empty when OpenSSL fails.
std::string DigestResponse(std::string_view ha1, const Credentials& credentials,
                           std::string_view method);

// Where random bytes come from.
class RandomSource
{
public:
    virtual ~RandomSource() = default;
    // Fills the bytes; false when no good random bytes can be had.
    virtual bool Fill(unsigned char* bytes, std::size_t size) = 0;
};

// OpenSSL's generator (RAND_bytes).
class SystemRandom final : public RandomSource
{
public:
    bool Fill(unsigned char* bytes, std::size_t size) override;
};

// Hands out nonces and checks answers. A nonce carries its issue time, a random part and an
// HMAC-SHA256 of both under a key drawn at construction, so no table of nonces is kept; it is
// valid kNonceLife seconds. Each nonce's nc must grow, so an answer cannot be replayed.
class Authenticator
{
public:
    static constexpr std::int64_t kNonceLife = 300;

    enum class Verdict
    {
        Accepted,
        Challenge, // no credentials for this realm: ask
        Stale,     // a nonce run out or not ours: ask again, stale=true
        Refused    // wrong answer, another user, a replayed nc
    };

    // Draws the key from the random source; without one the authenticator is not Ready.
    Authenticator(Users users, RandomSource& random);
    void SetUsers(Users users) { m_users = std::move(users); }
    const Users& UsersOf() const { return m_users; }
    // Whether the key was drawn: without it no answer is accepted and no nonce handed out.
    bool Ready() const { return !m_key.empty(); }

    // Checks a request's credentials (header value) for user (the From user) and method.
    Verdict Check(std::string_view value, std::string_view user, std::string_view method,
                  std::int64_t now);
    // "Digest realm=..., nonce=..., algorithm=MD5, qop="auth"", with stale=true when asked;
    // none when no nonce can be made (no key, no random bytes, a failed HMAC).
    std::optional<std::string> Challenge(std::int64_t now, bool stale) const;
    // Forgets the counts of nonces that ran out.
    void Tick(std::int64_t now);

private:
    static constexpr int kSaltBytes = 8;
    static constexpr std::size_t kNonceSize = 16 + 2 * kSaltBytes + 32;

    // Hex of the issue time, the salt and their HMAC under the key; empty when HMAC fails.
    std::string Nonce(std::int64_t issued, std::string_view salt) const;

    Users m_users;
    RandomSource& m_random;
    std::string m_key;                                       // empty when none could be drawn
    std::unordered_map<std::string, unsigned long> m_counts; // nonce -> highest nc accepted
};

} // namespace tavrix
