// webserver: routes, sessions and the calls to the listener.
#include "webserver.h"

#include "webapi.h"
#include "webhttp.h"

#include <adminclient.h>
#include <adminrequests.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <httplib.h>
#include <iostream>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <orx/zafengine.h>
#include <set>
#include <sstream>
#include <sys/stat.h>

namespace vornweb {

using vornadmin::CAdminConnection;
using vornadmin::SReply;
using vornadmin::SXmlElement;

namespace {

// A generated key may take many minutes (a fresh DSA group); the console waits as long.
constexpr unsigned int kGenerationTimeoutMs = 30u * 60 * 1000;
// The listener asks a key server once for a search and once per key a fetch names, each
// question bounded at 30 s; the console waits that long and a minute more.
constexpr unsigned int kKeyServerQuestionMs = 30u * 1000;
constexpr unsigned int kKeyServerMarginMs = 60u * 1000;

// With a charset the HTTP library leaves the answer as it is (it compresses only the bare type,
// slowly); orxweb compresses itself (sendJson).
const char* const kJson = "application/json; charset=utf-8";
// Answers from this size on go out compressed when the browser takes gzip.
constexpr size_t kCompressAbove = 8 * 1024;

std::string errorJson(const std::string& message, const std::string& extra = "") {
    return "{\"error\":" + gJsonString(message) + extra + "}";
}

void fail(httplib::Response& res, int status, const std::string& message,
          const std::string& extra = "") {
    res.status = status;
    res.set_content(errorJson(message, extra), kJson);
}

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    return text;
}

std::string contentType(const std::string& name) {
    static const std::map<std::string, std::string> types = {
        {".html", "text/html; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},
        {".js", "text/javascript; charset=utf-8"},
        {".png", "image/png"},
        {".svg", "image/svg+xml"},
        {".ico", "image/x-icon"},
        {".txt", "text/plain; charset=utf-8"}};
    const size_t dot = name.rfind('.');
    if (dot != std::string::npos) {
        const auto it = types.find(name.substr(dot));
        if (it != types.end())
            return it->second;
    }
    return "application/octet-stream";
}

bool assetName(const std::string& name) {
    if (name.empty() || name.size() > 64 || name[0] == '.')
        return false;
    for (unsigned char c : name)
        if (!std::isalnum(c) && c != '.' && c != '-' && c != '_')
            return false;
    return true;
}

// The listener's error text without its trailing line breaks.
std::string replyError(const SReply& reply) {
    std::string text = trimmed(reply.error);
    return text.empty() ? "The listener refused the request (rc " + std::to_string(reply.rc) + ")"
                        : text;
}

// A request the listener refused: 422 with its rc and text.
// A request the listener refused: 422 with one sentence a person understands, its rc, and the
// listener's whole text as "details".
void refused(httplib::Response& res, const SReply& reply) {
    const vornadmin::SXmlElement* error = reply.root.child("error");
    const std::string kind = error != nullptr ? error->get("kind") : std::string();
    const std::string chain = replyError(reply);
    fail(res, 422, gPlainError(chain, kind),
         ",\"rc\":" + std::to_string(reply.rc) + ",\"details\":" + gJsonString(chain));
}

std::string okJson(const std::string& body) { return "{\"rc\":0,\"body\":" + body + "}"; }

// What the browser takes: the reception renamed its Accept-Encoding (see gHideAcceptEncoding).
bool takesGzip(const httplib::Request& req) {
    return gAcceptsGzip(req.get_header_value("X-Accept-Encode"));
}

// A JSON answer; a large one compressed at gzip's fastest level (a 7,000-key list of about
// 1.5 MB in a few milliseconds). "X-Content-Bytes" gives its size before compression, for the
// page's progress bar.
void sendJson(const httplib::Request& req, httplib::Response& res, const std::string& json) {
    res.set_header("X-Content-Bytes", std::to_string(json.size()));
    if (json.size() >= kCompressAbove && takesGzip(req)) {
        res.set_header("Content-Encoding", "gzip");
        res.set_header("Vary", "Accept-Encoding");
        res.set_content(gGzip(json, 1), kJson);
    } else {
        res.set_content(json, kJson);
    }
}

// The listener connection failed or fell out of step: the session cannot go on.
class CListenerLost {
public:
    explicit CListenerLost(std::string message) : m_message(std::move(message)) {}
    const std::string& message() const { return m_message; }

private:
    std::string m_message;
};

// Sends a request document and wipes its text (requests carry passphrases). A failure of the
// exchange itself becomes CListenerLost; a reply that arrived whole but lacks what a reader wants
// later is a different matter (502, the session goes on).
SReply send(CAdminConnection& connection, const SXmlElement& request) {
    std::string xml = vornadmin::gWriteXml(request);
    try {
        SReply reply = connection.request(xml);
        vornadmin::gWipe(xml);
        return reply;
    } catch (oozaf::CZAFThrowable* e) {
        oozaf::CZAFThrowableGuard guard(e);
        vornadmin::gWipe(xml);
        throw CListenerLost(trimmed(e->getDetailedMessage()));
    } catch (...) {
        vornadmin::gWipe(xml);
        throw;
    }
}

// Sends a request whose answer may take longer than the listener's usual time limit.
SReply sendWaiting(CAdminConnection& connection, const SXmlElement& request,
                   unsigned int timeoutMs) {
    const unsigned int saved = connection.options().timeoutMs;
    connection.setTimeout(std::max(saved, timeoutMs));
    try {
        SReply reply = send(connection, request);
        connection.setTimeout(saved);
        return reply;
    } catch (...) {
        connection.setTimeout(saved);
        throw;
    }
}

// True when the browser says the request comes from another site's page, or from a page without
// an origin of its own (a sandboxed frame): such a request may change nothing, not even who is
// logged in.
bool crossSite(const httplib::Request& req) {
    const std::string site = req.get_header_value("Sec-Fetch-Site");
    if (!site.empty() && site != "same-origin" && site != "none")
        return true;
    const std::string origin = req.get_header_value("Origin");
    return !origin.empty() && origin != "https://" + req.get_header_value("Host");
}

// Key files: at most this large, sent by the page in pieces of at most kUploadPiece, all
// sessions together holding at most the upload budget; imported in pieces of whole keys of about
// kImportPiece (each one request to the listener, which saves the rings after each).
constexpr size_t kMaxUpload = 64u * 1024 * 1024;
constexpr size_t kUploadPiece = 4u * 1024 * 1024;
constexpr size_t kImportPiece = 2u * 1024 * 1024;
// The keys an import's answer names (the counts cover all).
constexpr size_t kImportListed = 500;

// A key list the listener confirmed this recently is taken as it is for reading (a page going from
// the list to a key, or back after a change it made): a change another program made meanwhile
// shows at the next look after this time.
constexpr auto kFreshList = std::chrono::seconds(5);
// Key lists of users without a session: kept this long, this many.
constexpr auto kKeepIdleLists = std::chrono::minutes(15);
constexpr size_t kIdleLists = 8;

// The user's key list as the listener has it now. The summary's bytes are read whole; only the
// keys whose bytes the kept list has not read are parsed (see webkeys.h). A refusal of the
// listener leaves `refusal` set and returns null.
std::shared_ptr<const CKeyList> currentKeys(CKeyCache& cache, const std::string& user,
                                            CAdminConnection& connection, SKeysRefusal& refusal) {
    std::string bytes;
    try {
        const uint32_t length =
            connection.beginReply(vornadmin::gWriteXml(vornadmin::gKeysSummaryRequest()));
        bytes.resize(length);
        size_t got = 0;
        while (got < length) {
            const size_t n = connection.readReply(&bytes[got], length - got);
            if (n == 0)
                throw new vornadmin::CAdminException("The listener's reply ended early");
            got += n;
        }
    } catch (oozaf::CZAFThrowable* e) {
        oozaf::CZAFThrowableGuard guard(e);
        throw CListenerLost(trimmed(e->getDetailedMessage()));
    }
    const std::shared_ptr<const CKeyList> kept = cache.get(user);
    std::shared_ptr<const CKeyList> list = CKeyList::read(bytes, kept.get(), refusal);
    if (!list)
        return nullptr;
    if (kept && kept->version() == list->version())
        return kept;
    cache.put(user, list);
    return list;
}

// The user's key list for reading: the one kept when the listener confirmed it within
// kFreshList, else the listener's now.
std::shared_ptr<const CKeyList> readableKeys(CKeyCache& cache, const std::string& user,
                                             CAdminConnection& connection, SKeysRefusal& refusal) {
    if (auto list = cache.fresh(user, kFreshList))
        return list;
    return currentKeys(cache, user, connection, refusal);
}

void refusedKeys(httplib::Response& res, const SKeysRefusal& refusal) {
    SReply reply;
    reply.rc = refusal.rc;
    reply.error = refusal.error;
    refused(res, reply);
}

// The key a page names (short or long ID, fingerprint). Throws CWebInputException (404 for a key
// the rings do not hold).
const SKeyEntry& keyOf(const CKeyList& list, const std::string& id) {
    if (gNormalKeyID(id).empty())
        throw CWebInputException("'" + id.substr(0, 64) +
                                 "' is not a key ID (8 or 16 hexadecimal digits) or a fingerprint");
    bool ambiguous = false;
    const SKeyEntry* entry = list.find(id, &ambiguous);
    if (ambiguous)
        throw CWebInputException("Several of your keys have the ID " + id +
                                 "; name the key by its long ID or fingerprint");
    if (entry == nullptr)
        throw CWebInputException("Your key rings hold no key " + id, 404);
    return *entry;
}

bool isKeyField(const std::string& name) {
    return name == "id" || name == "signer" || name == "revoker" || name == "adk";
}

// The form with every key it names (short ID, long ID or fingerprint) as the listener's requests
// name keys: by short ID. Long IDs and fingerprints are looked up in the user's key list (the one
// kept, then a fresh one when that does not hold the key); a short ID that two keys share names
// neither and is refused, since the listener could not tell them apart.
CForm withListenerIDs(const CForm& form, CKeyCache& cache, const std::string& user,
                      CAdminConnection& connection) {
    std::vector<std::pair<std::string, std::string>> fields = form.fields();
    std::shared_ptr<const CKeyList> list = cache.get(user);
    bool fresh = false;
    for (auto& field : fields) {
        if (!isKeyField(field.first))
            continue;
        const std::string digits = gNormalKeyID(field.second);
        if (digits.empty())
            continue; // the request's own checks refuse it, naming the field
        bool ambiguous = false;
        const SKeyEntry* entry = list ? list->find(digits, &ambiguous) : nullptr;
        if (entry == nullptr && !ambiguous && digits.size() != 8 && !fresh) {
            SKeysRefusal refusal;
            list = currentKeys(cache, user, connection, refusal);
            fresh = true;
            if (!list)
                throw CWebInputException(trimmed(refusal.error), 422);
            entry = list->find(digits, &ambiguous);
        }
        if (ambiguous)
            throw CWebInputException("Several of your keys have the ID " + field.second +
                                         "; the listener cannot tell them apart",
                                     409);
        if (entry == nullptr) {
            if (digits.size() != 8)
                throw CWebInputException("Your key rings hold no key " + field.second, 404);
            field.second = "0x" + digits; // the listener answers for keys not listed yet
            continue;
        }
        bool shared = false;
        list->find(entry->id, &shared);
        if (shared)
            throw CWebInputException("Another of your keys has the same short ID as " +
                                         entry->idfull + "; the listener cannot tell them apart",
                                     409);
        field.second = entry->id;
    }
    return CForm(std::move(fields));
}

// After a change: the changed key as it is now, for the page to show at once; "" when the
// listener refuses. A key the kept list holds under a short ID no other key has is asked for
// alone ("key-summary", the listener's requests name keys by short ID), which costs nothing like
// the whole rings; the kept list is no longer taken as confirmed, so the next read of the list
// asks for the whole summary. Other keys (a pair just made) and a listener without that request
// get the whole summary now.
std::string changedKeys(CKeyCache& cache, const std::string& user, CAdminConnection& connection,
                        const std::string& id) {
    SKeysRefusal refusal;
    cache.unconfirm(user);
    const std::shared_ptr<const CKeyList> kept = cache.get(user);
    const SKeyEntry* known = !id.empty() && kept ? kept->find(id) : nullptr;
    bool shared = false;
    if (known != nullptr)
        kept->find(known->id, &shared);
    if (known != nullptr && !shared) {
        vornadmin::SXmlElement request = vornadmin::gCommand("key-summary");
        vornadmin::gData(request).set("id", known->id);
        const SReply reply = send(connection, request);
        if (reply.ok()) {
            const auto one = CKeyList::read(reply.xml, nullptr, refusal);
            // A key made since with the same short ID is not the one changed.
            if (one && one->size() == 1 && one->keys().front()->idfull == known->idfull)
                return ",\"keys\":" + kept->keyJson(*one->keys().front());
        } else if (reply.rc != 16) { // 16: a listener that does not know the request
            return "";
        }
    }
    const auto list = currentKeys(cache, user, connection, refusal);
    if (!list)
        return "";
    const SKeyEntry* entry = id.empty() ? nullptr : list->find(id);
    return ",\"keys\":" + (entry != nullptr ? list->keyJson(*entry)
                                            : "{\"version\":" + gJsonString(list->version()) + "}");
}

// The long ID of the key named `name` that the current list has and `before` had not (the pair
// just generated); "" when there is none.
std::string newKeyNamed(CKeyCache& cache, const std::string& user, CAdminConnection& connection,
                        const std::shared_ptr<const CKeyList>& before, const std::string& name) {
    SKeysRefusal refusal;
    const auto list = currentKeys(cache, user, connection, refusal);
    if (!list)
        return "";
    for (const auto& entry : list->keys())
        if (entry->name == name && (!before || before->find(entry->idfull) == nullptr))
            return entry->idfull;
    return "";
}

// The end of an import: its status and what it added and changed, from the key lists before the
// first piece and after the last.
std::string importSummary(const SImportJob& job, CKeyCache& cache, const std::string& user,
                          CAdminConnection& connection) {
    std::string out = ",\"status\":" + std::to_string(job.best) +
                      ",\"droppedCertifications\":" + std::to_string(job.droppedCertifications);
    SKeysRefusal refusal;
    const auto after = currentKeys(cache, user, connection, refusal);
    if (!after || !job.before)
        return out;
    size_t added = 0;
    size_t changed = 0;
    std::string shown;
    for (const auto& entry : after->keys()) {
        const SKeyEntry* old = job.before->find(entry->idfull);
        if (old != nullptr) {
            changed += old->row != entry->row ? 1 : 0;
            continue;
        }
        if (added++ < kImportListed)
            shown += std::string(shown.empty() ? "" : ",") + "[" + gJsonString(entry->idfull) +
                     "," + gJsonString(entry->name) + "]";
    }
    return out + ",\"addedCount\":" + std::to_string(added) +
           ",\"changedCount\":" + std::to_string(changed) + ",\"added\":[" + shown +
           "],\"version\":" + gJsonString(after->version());
}

// Increments a session's count of running requests for a scope.
class CInUse {
public:
    explicit CInUse(CWebSession& session) : m_session(session) { ++m_session.inUse(); }
    ~CInUse() { --m_session.inUse(); }
    CInUse(const CInUse&) = delete;
    CInUse& operator=(const CInUse&) = delete;

private:
    CWebSession& m_session;
};

} // namespace

void gLog(const std::string& line) {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    ::gmtime_r(&now, &parts);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &parts);
    std::cerr << stamp << " orxweb: " << line << std::endl;
}

const char* const kTls12Ciphers = "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
                                  "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
                                  "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

// The HTTP library's request parser, routes and answer writer, driven request by request by the
// reception (webconn.h) instead of the library's own accept loop and threads.
class CHttpEngine final : public httplib::Server {
public:
    bool serve(httplib::Stream& stream, bool closeConnection, bool& connectionClosed, SSL* ssl) {
        return process_request(stream, closeConnection, connectionClosed,
                               [ssl](httplib::Request& req) { req.ssl = ssl; });
    }
};

namespace {

// Logins in progress hold request threads: never more than half of them.
SLoginLimits loginLimits(const SWebOptions& options) {
    SLoginLimits limits = options.logins;
    limits.inFlight = std::min<size_t>(limits.inFlight, std::max(1u, options.threads / 2));
    return limits;
}

} // namespace

CWebServer::CWebServer(SWebOptions options)
    : m_options(std::move(options)),
      m_sessions(m_options.maxSessions, std::chrono::seconds(m_options.idleSeconds), &Clock::now,
                 m_options.maxSessionsPerUser),
      m_pin(m_options.listenerHost, m_options.listenerPort, m_options.knownHostsFile,
            m_options.listenerHostKey, m_options.allowPlainListener),
      m_logins(loginLimits(m_options)), m_tls(SSL_CTX_new(TLS_server_method()), SSL_CTX_free) {
    loadAssets();
    const std::string& cert = m_options.certFile;
    const std::string& key = m_options.keyFile;
    SSL_CTX* context = m_tls.get();
    if (context == nullptr || SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_cipher_list(context, kTls12Ciphers) != 1)
        throw std::runtime_error("the TLS library cannot be set up");
    SSL_CTX_set_options(context, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION |
                                     SSL_OP_CIPHER_SERVER_PREFERENCE);
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (SSL_CTX_use_certificate_chain_file(context, cert.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(context, key.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(context) != 1)
        throw std::runtime_error("the certificate " + cert + " or its key " + key +
                                 " cannot be used");
    m_server = std::make_unique<CHttpEngine>();
    routes();
    SReceptionLimits limits = m_options.reception;
    limits.threads = m_options.threads;
    limits.maxBody = kMaxImport + kMaxFormBody;
    SReceptionHooks hooks;
    hooks.serve = [this](httplib::Stream& stream, bool closeConnection, bool& connectionClosed,
                         SSL* ssl) {
        return m_server->serve(stream, closeConnection, connectionClosed, ssl);
    };
    // The page's files and the session state never wait for the listener.
    hooks.isFast = [](const SRequestHead& head) {
        return head.method == "GET" &&
               (head.path.rfind("/api/", 0) != 0 || head.path == "/api/session");
    };
    // Large bodies (key files) only in a session: nobody else makes a request thread read one.
    hooks.mayStream = [this](const SRequestHead& head) {
        const auto cookies = gParseCookies(head.cookie);
        const auto cookie = cookies.find(kSessionCookie);
        return cookie != cookies.end() && m_sessions.find(cookie->second, false) != nullptr;
    };
    m_reception = std::make_unique<CReception>(context, limits, std::move(hooks));
}

size_t CWebServer::connections() const { return m_reception->connections(); }

CWebServer::~CWebServer() { stop(); }

std::unique_ptr<CAdminConnection> CWebServer::connectListener() {
    if (!m_options.listenerSocket.empty()) {
        struct stat info {};
        if (::lstat(m_options.listenerSocket.c_str(), &info) == 0 || errno != ENOENT) {
            vornadmin::SConnectOptions options;
            options.unixSocket = m_options.listenerSocket;
            options.timeoutMs = m_options.listenerTimeoutMs;
            return CAdminConnection::connect(options);
        }
        if (!m_socketMissingLogged.exchange(true))
            gLog("WARNING: no listener socket at " + m_options.listenerSocket +
                 " (an orxgui without WebAccount?): logins go to " + m_pin.listener() +
                 " by TCP, where the listener counts every browser's failed logins as " +
                 "orxweb's own");
    }
    return m_pin.connect(m_options.listenerTimeoutMs);
}

std::string CWebServer::listenerName() const {
    return m_options.listenerSocket.empty()
               ? m_pin.listener()
               : m_pin.listener() + " (web socket " + m_options.listenerSocket + ")";
}

void CWebServer::loadAssets() {
    DIR* dir = ::opendir(m_options.assetsDir.c_str());
    if (dir == nullptr)
        throw std::runtime_error("cannot open the page folder " + m_options.assetsDir);
    std::unique_ptr<DIR, int (*)(DIR*)> closer(dir, ::closedir);
    while (dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (!assetName(name))
            continue;
        const std::string path = m_options.assetsDir + "/" + name;
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
            continue;
        if (m_assets.size() == kMaxAssets)
            throw std::runtime_error("the page folder holds more than " +
                                     std::to_string(kMaxAssets) + " files");
        if (static_cast<size_t>(info.st_size) > kMaxAssetSize)
            throw std::runtime_error(path + " is larger than the limit for a page file");
        std::ifstream in(path, std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        SAsset& asset = m_assets[name];
        asset.type = contentType(name);
        asset.bytes = bytes.str();
        // Text goes out compressed when the browser takes it (made once, at the best level).
        if (asset.type.rfind("text/", 0) == 0 || asset.type.rfind("image/svg", 0) == 0) {
            std::string packed = gGzip(asset.bytes, 9);
            if (packed.size() < asset.bytes.size())
                asset.gzipped = std::move(packed);
        }
    }
    if (m_assets.count("index.html") == 0)
        throw std::runtime_error("the page folder " + m_options.assetsDir + " has no index.html");
}

void CWebServer::routes() {
    CHttpEngine& server = *m_server;
    server.set_payload_max_length(kMaxImport + kMaxFormBody);
    server.set_default_headers(
        {{"Content-Security-Policy",
          "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' blob:; "
          "connect-src 'self'; form-action 'self'; frame-ancestors 'none'; base-uri 'none'"},
         {"X-Content-Type-Options", "nosniff"},
         {"X-Frame-Options", "DENY"},
         {"Referrer-Policy", "no-referrer"},
         {"Cache-Control", "no-store"},
         {"Strict-Transport-Security", "max-age=31536000"}});

    // The library bounds each header line but not their number; a request with more headers
    // than any browser sends is refused before it reaches a handler.
    server.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
        if (req.headers.size() <= kMaxHeaders)
            return httplib::Server::HandlerResponse::Unhandled;
        fail(res, 431, "Too many header fields");
        return httplib::Server::HandlerResponse::Handled;
    });

    server.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
        if (!res.body.empty())
            return;
        const std::string text = res.status == 404   ? "Not found"
                                 : res.status == 413 ? "The request is too large"
                                 : res.status == 414 ? "The address is too long"
                                 : res.status == 431 ? "The header fields are too large"
                                 : res.status == 400 ? "Malformed request"
                                                     : "Refused";
        if (req.path.rfind("/api/", 0) == 0)
            res.set_content(errorJson(text), kJson);
        else
            res.set_content(text + "\n", "text/plain; charset=utf-8");
    });
    server.set_exception_handler(
        [](const httplib::Request&, httplib::Response& res, std::exception_ptr failure) {
            std::string what = "unknown failure";
            try {
                std::rethrow_exception(failure);
            } catch (const std::exception& e) {
                what = e.what();
            } catch (...) {
            }
            gLog("internal error: " + what);
            fail(res, 500, "Internal error in orxweb");
        });

    // ---- the page's files ----
    server.Get(R"(/([A-Za-z0-9._-]*))",
               [this](const httplib::Request& req, httplib::Response& res) {
                   std::string name = req.matches[1];
                   if (name.empty())
                       name = "index.html";
                   const auto it = m_assets.find(name);
                   if (it == m_assets.end()) {
                       res.status = 404;
                       return;
                   }
                   const SAsset& asset = it->second;
                   if (!asset.gzipped.empty()) {
                       res.set_header("Vary", "Accept-Encoding");
                       if (takesGzip(req)) {
                           res.set_header("Content-Encoding", "gzip");
                           res.set_content(asset.gzipped, asset.type.c_str());
                           return;
                       }
                   }
                   res.set_content(asset.bytes, asset.type.c_str());
               });

    // The session the cookie names, or null after answering 401 (saying so when it expired).
    auto sessionOf = [this](const httplib::Request& req, httplib::Response& res, bool touch) {
        const auto cookies = gParseCookies(req.get_header_value("Cookie"));
        const auto cookie = cookies.find(kSessionCookie);
        eLookup lookup = eLookup::eUnknown;
        std::shared_ptr<CWebSession> session =
            cookie == cookies.end() ? nullptr : m_sessions.find(cookie->second, touch, &lookup);
        if (!session && lookup == eLookup::eReplaced)
            fail(res, 401,
                 "Your session was ended by a newer login of the same user (at most " +
                     std::to_string(m_sessions.perUser()) + " at once); please log in again",
                 ",\"replaced\":true");
        else if (!session)
            fail(res, 401,
                 lookup == eLookup::eExpired ? "Your session has expired; please log in again"
                                             : "Not logged in",
                 lookup == eLookup::eExpired ? ",\"expired\":true" : "");
        return session;
    };

    // Runs `work` in the caller's session: the cookie names the session, changes carry its CSRF
    // token, and one request at a time uses its listener connection.
    using Work = std::function<void(CWebSession&, CAdminConnection&, httplib::Response&)>;
    auto inSession = [this, sessionOf](const httplib::Request& req, httplib::Response& res,
                                       bool change, const Work& work) {
        std::shared_ptr<CWebSession> session = sessionOf(req, res, true);
        if (!session)
            return;
        if (change) {
            if (!gConstantTimeEquals(req.get_header_value("X-CSRF-Token"), session->csrf()) ||
                crossSite(req)) {
                gLog("refused a change without a valid CSRF token for user " + session->user());
                fail(res, 403, "The request lacks a valid CSRF token");
                return;
            }
        }
        CInUse inUse(*session);
        CGateHold hold(session->busy(), std::chrono::seconds(m_options.busyWaitSeconds));
        if (!hold.held()) {
            fail(res, 409, "Another request of this session is still running");
            return;
        }
        CAdminConnection* connection = session->connection();
        if (connection == nullptr) {
            fail(res, 503, "The session has no listener connection", ",\"listenerDown\":true");
            return;
        }
        try {
            work(*session, *connection, res);
        } catch (CWebInputException& e) {
            fail(res, e.status(), e.message());
        } catch (const CListenerLost& e) {
            gLog("listener connection of user " + session->user() + " failed: " + e.message());
            m_sessions.remove(session->id());
            fail(res, 503,
                 "The listener stopped answering: " + e.message() +
                     ". Please log in again when it is back.",
                 ",\"listenerDown\":true");
        } catch (oozaf::CZAFThrowable* e) {
            oozaf::CZAFThrowableGuard guard(e);
            fail(res, 502, "The listener's reply cannot be read: " + trimmed(e->getMessage()));
        }
        session->touch(Clock::now());
    };

    auto formOf = [](const httplib::Request& req) {
        if (req.body.size() > kMaxFormBody)
            throw CWebInputException("The form is too large", 413);
        const std::string type = req.get_header_value("Content-Type");
        if (!req.body.empty() && type.rfind("application/x-www-form-urlencoded", 0) != 0)
            throw CWebInputException("Forms must be sent as application/x-www-form-urlencoded",
                                     415);
        return gParseForm(req.body);
    };

    // ---- login, logout, session state ----
    server.Post("/api/login", [this, formOf](const httplib::Request& req, httplib::Response& res) {
        // A hostile page could otherwise log its visitor's browser in to the page's own
        // account (and watch what the visitor then stores there).
        if (crossSite(req)) {
            gLog("refused a login from another site's page (browser at " + req.remote_addr + ")");
            fail(res, 403, "Logins are accepted only from orxweb's own page");
            return;
        }
        CForm form;
        std::string user;
        std::string password;
        try {
            form = formOf(req);
            user = form.required("user", 256);
            password = form.required("password", 1024);
        } catch (CWebInputException& e) {
            fail(res, e.status(), e.message());
            return;
        }
        if (user.empty()) {
            fail(res, 400, "Enter a user name");
            return;
        }
        // The name goes into the log: no line breaks or other control characters.
        for (unsigned char c : user)
            if (c < 0x20 || c == 0x7f) {
                fail(res, 400, "The user name holds control characters");
                return;
            }
        const auto full = [this, &res] {
            fail(res, 503,
                 "orxweb already serves " + std::to_string(m_sessions.maxSessions()) +
                     " sessions; try again later");
        };
        if (m_sessions.full())
            return full();
        std::unique_ptr<CLoginSlot> slot;
        std::chrono::seconds retryAfter{0};
        bool firstRefusal = false;
        switch (m_logins.admit(req.remote_addr, user, slot, retryAfter, firstRefusal)) {
        case eLoginVerdict::eThrottled:
            if (firstRefusal)
                gLog("too many failed logins from " + req.remote_addr + " or for user '" + user +
                     "': further attempts are refused for a while");
            res.set_header("Retry-After", std::to_string(retryAfter.count()));
            fail(res, 429,
                 "Too many failed logins; try again in " + std::to_string(retryAfter.count()) +
                     " s",
                 ",\"retryAfter\":" + std::to_string(retryAfter.count()));
            return;
        case eLoginVerdict::eBusy:
            res.set_header("Retry-After", "1");
            fail(res, 503, "Too many logins are in progress; please try again in a moment",
                 ",\"busy\":true");
            return;
        case eLoginVerdict::eGo:
            break;
        }
        std::unique_ptr<CAdminConnection> connection;
        SReply reply;
        try {
            connection = connectListener();
            // On the web socket the listener learns the browser's address (TCP cannot name one).
            reply =
                connection->login(user, password, "",
                                  connection->options().unixSocket.empty() ? "" : req.remote_addr);
        } catch (const CListenerRefused& e) {
            vornadmin::gWipe(password);
            gLog(e.logLine() + "; login of user '" + user + "' from " + req.remote_addr +
                 " not passed on");
            fail(res, 502, e.message(),
                 std::string(",\"listenerRefused\":\"") + e.kindName() + "\"");
            return;
        } catch (oozaf::CZAFThrowable* e) {
            oozaf::CZAFThrowableGuard guard(e);
            vornadmin::gWipe(password);
            gLog("listener at " + listenerName() +
                 " not reachable: " + trimmed(e->getDetailedMessage()));
            fail(res, 503,
                 "The listener at " + listenerName() +
                     " cannot be reached: " + trimmed(e->getMessage()),
                 ",\"listenerDown\":true");
            return;
        }
        vornadmin::gWipe(password);
        if (!reply.ok()) {
            m_logins.failed(req.remote_addr, user);
            gLog("login of user '" + user + "' from " + req.remote_addr + " refused (rc " +
                 std::to_string(reply.rc) + ")");
            fail(res, 401, "Login refused: " + replyError(reply),
                 ",\"rc\":" + std::to_string(reply.rc));
            return;
        }
        m_logins.succeeded(user);
        slot.reset();
        std::string replaced;
        bool userFull = false;
        std::shared_ptr<CWebSession> session =
            m_sessions.create(user, std::move(connection), &replaced, &userFull);
        if (!session && userFull) {
            fail(res, 429,
                 "Every session of user " + user +
                     " is busy with a request; try again when one "
                     "is done");
            return;
        }
        if (!session)
            return full();
        if (!replaced.empty())
            gLog("user '" + user + "' has " + std::to_string(m_sessions.perUser()) +
                 " sessions: ended the least recently used one for the new login");
        gLog("user '" + user + "' logged in from " + req.remote_addr);
        const SXmlElement* info = reply.body();
        res.set_header("Set-Cookie", gSessionCookie(session->id()));
        res.set_content(
            "{\"user\":" + gJsonString(user) + ",\"csrf\":" + gJsonString(session->csrf()) +
                ",\"info\":" + (info != nullptr ? gElementToJson(*info) : std::string("null")) +
                ",\"idleSeconds\":" + std::to_string(m_options.idleSeconds) + "}",
            kJson);
    });

    server.Post(
        "/api/logout", [this, inSession](const httplib::Request& req, httplib::Response& res) {
            inSession(req, res, true,
                      [this](CWebSession& session, CAdminConnection&, httplib::Response& response) {
                          gLog("user '" + session.user() + "' logged out");
                          m_sessions.remove(session.id());
                          response.set_header("Set-Cookie", gClearedSessionCookie());
                          response.set_content("{}", kJson);
                      });
        });

    // The session's state; it does not count as use, so a page that polls it still expires.
    server.Get(
        "/api/session", [this, sessionOf](const httplib::Request& req, httplib::Response& res) {
            std::shared_ptr<CWebSession> session = sessionOf(req, res, false);
            if (!session)
                return;
            res.set_content("{\"user\":" + gJsonString(session->user()) +
                                ",\"csrf\":" + gJsonString(session->csrf()) +
                                ",\"idleSeconds\":" + std::to_string(m_options.idleSeconds) + "}",
                            kJson);
        });

    // ---- reading ----
    auto reader = [inSession](const char* action) {
        return [inSession, action](const httplib::Request& req, httplib::Response& res) {
            inSession(req, res, false,
                      [action, &req](CWebSession&, CAdminConnection& connection,
                                     httplib::Response& response) {
                          const SReply reply = send(connection, gMapAction(action, CForm()));
                          if (!reply.ok())
                              return refused(response, reply);
                          const SXmlElement* body = reply.body();
                          sendJson(req, response,
                                   okJson(body != nullptr ? gElementToJson(*body) : "null"));
                      });
        };
    };
    // The list: every key's row; for a page that holds an older version ("since"), the rows
    // that changed since; nothing when it is current.
    server.Get("/api/keys", [this, inSession](const httplib::Request& req, httplib::Response& res) {
        inSession(
            req, res, false,
            [&](CWebSession& session, CAdminConnection& connection, httplib::Response& response) {
                SKeysRefusal refusal;
                const auto list = readableKeys(m_keys, session.user(), connection, refusal);
                if (!list)
                    return refusedKeys(response, refusal);
                const std::string since = req.get_param_value("since");
                if (!since.empty() && since == list->version())
                    return sendJson(req, response,
                                    "{\"version\":" + gJsonString(since) + ",\"unchanged\":true}");
                const auto older = since.empty() ? nullptr : m_keys.previous(session.user(), since);
                sendJson(req, response, older ? list->changesJson(*older) : list->listJson());
            });
    });

    // One key, with the names of the keys it mentions and the user's own key pairs.
    server.Get("/api/key", [this, inSession](const httplib::Request& req, httplib::Response& res) {
        inSession(
            req, res, false,
            [&](CWebSession& session, CAdminConnection& connection, httplib::Response& response) {
                SKeysRefusal refusal;
                const auto list = readableKeys(m_keys, session.user(), connection, refusal);
                if (!list)
                    return refusedKeys(response, refusal);
                sendJson(req, response, list->keyJson(keyOf(*list, req.get_param_value("id"))));
            });
    });
    server.Get("/api/log", reader("log"));
    // The switches, with those this build's command engine refuses named apart, so that the page
    // leaves them out.
    server.Get("/api/options", [inSession](const httplib::Request& req, httplib::Response& res) {
        inSession(req, res, false,
                  [&](CWebSession&, CAdminConnection& connection, httplib::Response& response) {
                      const SReply reply = send(connection, gMapAction("options", CForm()));
                      if (!reply.ok())
                          return refused(response, reply);
                      const SXmlElement* body = reply.body();
                      std::string refusedSwitches;
                      if (body != nullptr)
                          for (const SXmlElement* sw : body->childrenNamed("switch"))
                              if (ZAFvornSwitchRefused(sw->get("id").c_str()) != 0)
                                  refusedSwitches +=
                                      std::string(refusedSwitches.empty() ? "" : ",") +
                                      gJsonString(sw->get("id"));
                      sendJson(req, response,
                               "{\"rc\":0,\"body\":" +
                                   (body != nullptr ? gElementToJson(*body) : std::string("null")) +
                                   ",\"refused\":[" + refusedSwitches + "]}");
                  });
    });

    server.Get("/api/conf", [this, inSession](const httplib::Request& req, httplib::Response& res) {
        inSession(req, res, false,
                  [this](CWebSession&, CAdminConnection& connection, httplib::Response& response) {
                      const SReply reply = send(connection, gMapAction("conf-get", CForm()));
                      if (!reply.ok())
                          return refused(response, reply);
                      const SXmlElement* body = reply.body();
                      std::string policy;
                      std::string policyError;
                      try {
                          policy = gPolicyJson(m_options.policyFile);
                      } catch (CWebInputException& e) {
                          policy = "{}";
                          policyError = e.message();
                      }
                      response.set_content("{\"rc\":0,\"body\":" +
                                               (body != nullptr ? gElementToJson(*body) : "null") +
                                               ",\"policy\":" + policy + ",\"policyFile\":" +
                                               gJsonString(m_options.policyFile) +
                                               ",\"policyError\":" + gJsonString(policyError) +
                                               ",\"directives\":" + gDirectivesJson() + "}",
                                           kJson);
                  });
    });

    server.Get("/api/photo", [this, inSession](const httplib::Request& req,
                                               httplib::Response& res) {
        inSession(
            req, res, false,
            [&](CWebSession& session, CAdminConnection& connection, httplib::Response& response) {
                const CForm form = withListenerIDs(CForm({{"id", req.get_param_value("id")}}),
                                                   m_keys, session.user(), connection);
                const SReply reply = send(connection, gMapAction("photo", form));
                if (!reply.ok())
                    return refused(response, reply);
                response.set_content(vornadmin::gPhotoBytes(reply), "image/jpeg");
            });
    });

    // ---- changes: one form, one listener request ----
    server.Post(R"(/api/action/([a-z-]{1,32}))", [this, inSession,
                                                  formOf](const httplib::Request& req,
                                                          httplib::Response& res) {
        const std::string action = req.matches[1];
        // Changes of one key: the answer carries the key as it is afterwards.
        static const std::set<std::string> kKeyChanges = {
            "sign",   "revoke",  "userid-add", "userid-remove", "remove",        "trust",
            "enable", "disable", "expiry",     "passphrase",    "subkey-revoke", "userid-revoke"};
        if (kKeyChanges.count(action) == 0 && action != "entropy-pair" &&
            action != "entropy-subkey" && action != "conf-set") {
            res.status = 404;
            return;
        }
        inSession(
            req, res, true,
            [&](CWebSession& session, CAdminConnection& connection, httplib::Response& response) {
                const CForm form = withListenerIDs(formOf(req), m_keys, session.user(), connection);
                const SReply reply = send(connection, gMapAction(action, form));
                if (!reply.ok())
                    return refused(response, reply);
                std::string keys;
                if (kKeyChanges.count(action) != 0) {
                    gLog("user '" + session.user() + "': " + action + " of " + form.get("id") +
                         " done");
                    // A removed key has no page to show: the list's next read brings it up
                    // to date.
                    if (action == "remove")
                        m_keys.unconfirm(session.user());
                    else
                        keys = changedKeys(m_keys, session.user(), connection, form.get("id"));
                } else if (action == "conf-set") {
                    gLog("user '" + session.user() + "': " + action + " done");
                }
                const SXmlElement* body = reply.body();
                sendJson(req, response,
                         "{\"rc\":0,\"body\":" +
                             (body != nullptr ? gElementToJson(*body) : std::string("null")) +
                             keys + "}");
            });
    });

    // Key server: a search lists what the server holds (its description, not verified); a fetch
    // imports keys into the user's rings as a key file is imported and reports each key.
    server.Post(R"(/api/keyserver/(search|fetch))", [this, inSession,
                                                     formOf](const httplib::Request& req,
                                                             httplib::Response& res) {
        const std::string action = "keyserver-" + std::string(req.matches[1]);
        inSession(
            req, res, true,
            [&](CWebSession& session, CAdminConnection& connection, httplib::Response& response) {
                const SXmlElement request = gMapAction(action, formOf(req));
                const SXmlElement* data = request.child("data");
                const std::string ids = data != nullptr ? data->get("ids") : std::string();
                const unsigned int questions =
                    1 + static_cast<unsigned int>(std::count(ids.begin(), ids.end(), ' '));
                const SReply reply = sendWaiting(
                    connection, request, questions * kKeyServerQuestionMs + kKeyServerMarginMs);
                if (!reply.ok())
                    return refused(response, reply);
                if (action == "keyserver-fetch") {
                    gLog("user '" + session.user() + "': " + action + " done");
                    m_keys.unconfirm(session.user());
                }
                const SXmlElement* body = reply.body();
                sendJson(req, response,
                         okJson(body != nullptr ? gElementToJson(*body) : std::string("null")));
            });
    });

    // Key pair or subkey: the entropy the page gathered goes first, then the generation, which
    // may take minutes; the page shows its progress meanwhile.
    server.Post(R"(/api/generate/(key-gen|subkey-gen))", [this, inSession,
                                                          formOf](const httplib::Request& req,
                                                                  httplib::Response& res) {
        const std::string action = req.matches[1];
        inSession(
            req, res, true,
            [&](CWebSession& session, CAdminConnection& connection, httplib::Response& response) {
                const CForm form = withListenerIDs(formOf(req), m_keys, session.user(), connection);
                const SXmlElement generate = gMapAction(action, form);
                if (form.has("entropy")) {
                    const SReply supplied = send(connection, gMapAction("entropy-supply", form));
                    if (!supplied.ok())
                        return refused(response, supplied);
                }
                const auto before = m_keys.get(session.user());
                const SReply reply = sendWaiting(connection, generate, kGenerationTimeoutMs);
                if (!reply.ok())
                    return refused(response, reply);
                gLog("user '" + session.user() + "': " + action + " done");
                std::string id = form.get("id");
                if (action == "key-gen")
                    id = newKeyNamed(m_keys, session.user(), connection, before, form.get("name"));
                sendJson(req, response,
                         "{\"rc\":0,\"body\":null" +
                             changedKeys(m_keys, session.user(), connection, id) + "}");
            });
    });

    // The key types the form offers (the product's table, so a type added there appears).
    server.Get("/api/generate/types",
               [sessionOf](const httplib::Request& req, httplib::Response& res) {
                   if (sessionOf(req, res, false))
                       sendJson(req, res, gKeyTypesJson());
               });

    server.Post("/api/export", [this, inSession, formOf](const httplib::Request& req,
                                                         httplib::Response& res) {
        inSession(
            req, res, true,
            [&](CWebSession& session, CAdminConnection& connection, httplib::Response& response) {
                const CForm form = withListenerIDs(formOf(req), m_keys, session.user(), connection);
                const SXmlElement request = gMapAction("export", form);
                const SReply reply = send(connection, request);
                if (!reply.ok())
                    return refused(response, reply);
                const bool armor = form.get("armor") == "yes";
                const bool withPrivate = form.get("private") == "yes";
                std::string id = form.get("id");
                id.erase(0, 2);
                const std::string name =
                    "key-" + id + (withPrivate ? "-private" : "") + (armor ? ".asc" : ".key");
                if (withPrivate)
                    gLog("user '" + session.user() + "' exported the private key " +
                         form.get("id"));
                response.set_header("Content-Disposition", "attachment; filename=\"" + name + "\"");
                response.set_content(vornadmin::gExportedKey(reply),
                                     armor ? "text/plain; charset=utf-8"
                                           : "application/octet-stream");
            });
    });

    // Import of a key file of any size up to kMaxUpload: the page sends it in pieces
    // (/api/import/upload), then has it imported piece by piece (/api/import/run, once per
    // piece of whole keys), showing its progress; the last answer counts what was added.
    server.Post("/api/import/upload", [this, inSession](const httplib::Request& req,
                                                        httplib::Response& res) {
        inSession(req, res, true,
                  [&](CWebSession& session, CAdminConnection&, httplib::Response& response) {
                      receivePiece(session, req.get_param_value("offset"),
                                   req.get_param_value("size"), req.body);
                      const SImportJob& job = *session.importJob();
                      sendJson(req, response,
                               "{\"received\":" + std::to_string(job.bytes.size()) +
                                   ",\"size\":" + std::to_string(job.total) + "}");
                  });
    });
    server.Post("/api/import/run", [this, inSession](const httplib::Request& req,
                                                     httplib::Response& res) {
        inSession(
            req, res, true,
            [&](CWebSession& session, CAdminConnection& connection, httplib::Response& response) {
                std::unique_ptr<SImportJob>& job = session.importJob();
                if (!job || (job->pieces.empty() && job->bytes.size() != job->total))
                    throw CWebInputException("Send the whole key file first", 409);
                if (job->pieces.empty()) {
                    SKeysRefusal refusal;
                    job->before = currentKeys(m_keys, session.user(), connection, refusal);
                    if (!job->before)
                        return refusedKeys(response, refusal);
                    if (job->bytes.size() <= kImportPiece)
                        job->pieces.push_back(std::move(job->bytes));
                    else
                        job->pieces = vornadmin::gSplitKeyFile(job->bytes, kImportPiece, job->keys);
                    std::string().swap(job->bytes);
                }
                std::string& piece = job->pieces[job->next];
                const SReply reply = send(connection, gMapImport(piece));
                std::string().swap(piece);
                if (!reply.ok()) {
                    job.reset();
                    return refused(response, reply);
                }
                job->best = std::min(job->best, vornadmin::gImportStatus(reply));
                job->droppedCertifications +=
                    vornadmin::gImportCount(reply, "dropped-certifications");
                ++job->next;
                size_t keysDone = 0;
                size_t keysAll = 0;
                for (size_t i = 0; i < job->keys.size(); ++i) {
                    keysAll += job->keys[i];
                    keysDone += i < job->next ? job->keys[i] : 0;
                }
                const std::string progress = "\"piece\":" + std::to_string(job->next) +
                                             ",\"pieces\":" + std::to_string(job->pieces.size()) +
                                             ",\"keysDone\":" + std::to_string(keysDone) +
                                             ",\"keys\":" + std::to_string(keysAll);
                if (job->next < job->pieces.size())
                    return sendJson(req, response, "{\"done\":false," + progress + "}");
                const std::string summary = importSummary(*job, m_keys, session.user(), connection);
                gLog("user '" + session.user() + "' imported a key file of " +
                     std::to_string(job->total) + " bytes");
                job.reset();
                sendJson(req, response, "{\"done\":true," + progress + summary + "}");
            });
    });
}

void CWebServer::receivePiece(CWebSession& session, const std::string& offsetText,
                              const std::string& sizeText, const std::string& body) {
    const auto number = [](const std::string& text, const char* what) {
        if (text.empty() || text.size() > 12 ||
            text.find_first_not_of("0123456789") != std::string::npos)
            throw CWebInputException(std::string("The ") + what + " is not a number");
        return static_cast<size_t>(std::stoull(text));
    };
    const size_t offset = number(offsetText, "offset");
    const size_t size = number(sizeText, "file size");
    if (size == 0)
        throw CWebInputException("The key file is empty");
    if (size > kMaxUpload)
        throw CWebInputException("The key file is larger than " +
                                     std::to_string(kMaxUpload / (1024 * 1024)) + " MiB",
                                 413);
    if (body.size() > kUploadPiece)
        throw CWebInputException("A piece of the key file is larger than " +
                                     std::to_string(kUploadPiece / (1024 * 1024)) + " MiB",
                                 413);
    std::unique_ptr<SImportJob>& job = session.importJob();
    if (offset == 0) {
        job.reset();
        if (!m_uploads.reserve(size))
            throw CWebInputException("orxweb holds too many key files at the moment; try again "
                                     "later",
                                     503);
        job = std::make_unique<SImportJob>(m_uploads, size);
        job->bytes.reserve(size);
    }
    if (!job || !job->pieces.empty() || offset != job->bytes.size() || size != job->total)
        throw CWebInputException("This piece of the key file does not follow the one before; "
                                 "send the file again",
                                 409);
    if (body.size() > job->total - job->bytes.size())
        throw CWebInputException("The pieces are larger than the file");
    job->bytes += body;
}

void CWebServer::start() {
    m_reception->bind(m_options.address, m_options.port);
    m_port = m_reception->port();
    m_reception->start();
    m_sweepThread = std::thread([this] {
        std::unique_lock<std::mutex> lock(m_stopMutex);
        while (!m_stopping) {
            m_stopSignal.wait_for(lock, std::chrono::seconds(1));
            lock.unlock();
            const size_t ended = m_sessions.sweep();
            if (ended > 0)
                gLog(std::to_string(ended) + " idle session(s) ended");
            // Key lists of users without a session are kept for a while, a few of them.
            m_keys.retain(m_sessions.users(), kKeepIdleLists, kIdleLists);
            lock.lock();
        }
    });
}

void CWebServer::stop() {
    {
        std::lock_guard<std::mutex> lock(m_stopMutex);
        m_stopping = true;
    }
    m_stopSignal.notify_all();
    if (m_reception)
        m_reception->stop();
    if (m_sweepThread.joinable())
        m_sweepThread.join();
    m_sessions.clear();
}

} // namespace vornweb
