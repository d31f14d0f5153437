// webserver: routes, sessions and the calls to the listener.
#include "webserver.h"

#include "webapi.h"
#include "webhttp.h"

#include <adminclient.h>
#include <adminrequests.h>
#include <algorithm>
#include <chrono>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <httplib.h>
#include <iostream>
#include <openssl/ssl.h>
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

const char* const kJson = "application/json";

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
void refused(httplib::Response& res, const SReply& reply) {
    fail(res, 422, replyError(reply), ",\"rc\":" + std::to_string(reply.rc));
}

std::string okJson(const std::string& body) { return "{\"rc\":0,\"body\":" + body + "}"; }

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

// The IDs and first user IDs of every key, from a keys summary.
std::map<std::string, std::string> keyIndex(const SReply& reply) {
    std::map<std::string, std::string> index;
    const SXmlElement* keys = reply.body();
    if (keys == nullptr)
        return index;
    for (const SXmlElement* key : keys->childrenNamed("key")) {
        std::string name;
        if (const SXmlElement* userids = key->child("userids"))
            if (const SXmlElement* first = userids->child("userid"))
                name = first->get("name");
        index[key->get("idfull", key->get("id"))] = key->get("id") + "\t" + name;
    }
    return index;
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

CWebServer::CWebServer(SWebOptions options)
    : m_options(std::move(options)),
      m_sessions(m_options.maxSessions, std::chrono::seconds(m_options.idleSeconds)),
      m_pin(m_options.listenerHost, m_options.listenerPort, m_options.knownHostsFile,
            m_options.listenerHostKey, m_options.allowPlainListener) {
    loadAssets();
    const std::string cert = m_options.certFile;
    const std::string key = m_options.keyFile;
    m_server = std::make_unique<httplib::SSLServer>([cert, key](SSL_CTX& context) {
        SSL_CTX_set_min_proto_version(&context, TLS1_2_VERSION);
        SSL_CTX_set_options(&context, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION |
                                          SSL_OP_CIPHER_SERVER_PREFERENCE);
        return SSL_CTX_use_certificate_chain_file(&context, cert.c_str()) == 1 &&
               SSL_CTX_use_PrivateKey_file(&context, key.c_str(), SSL_FILETYPE_PEM) == 1 &&
               SSL_CTX_check_private_key(&context) == 1;
    });
    if (!m_server->is_valid())
        throw std::runtime_error("the certificate " + cert + " or its key " + key +
                                 " cannot be used");
    routes();
}

CWebServer::~CWebServer() { stop(); }

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
        m_assets[name] = {contentType(name), bytes.str()};
    }
    if (m_assets.count("index.html") == 0)
        throw std::runtime_error("the page folder " + m_options.assetsDir + " has no index.html");
}

void CWebServer::routes() {
    httplib::SSLServer& server = *m_server;
    server.new_task_queue = [threads = m_options.threads] {
        return new httplib::ThreadPool(threads);
    };
    server.set_payload_max_length(kMaxImport + kMaxFormBody);
    server.set_keep_alive_max_count(100);
    // Each read and write of a connection waits at most this long (a body announced but never
    // sent is answered after one wait).
    server.set_read_timeout(5, 0);
    server.set_write_timeout(10, 0);
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
                   res.set_content(it->second.second, it->second.first.c_str());
               });

    // The session the cookie names, or null after answering 401 (saying so when it expired).
    auto sessionOf = [this](const httplib::Request& req, httplib::Response& res, bool touch) {
        const auto cookies = gParseCookies(req.get_header_value("Cookie"));
        const auto cookie = cookies.find(kSessionCookie);
        eLookup lookup = eLookup::eUnknown;
        std::shared_ptr<CWebSession> session =
            cookie == cookies.end() ? nullptr : m_sessions.find(cookie->second, touch, &lookup);
        if (!session)
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
            const std::string origin = req.get_header_value("Origin");
            if (!gConstantTimeEquals(req.get_header_value("X-CSRF-Token"), session->csrf()) ||
                (!origin.empty() && origin != "https://" + req.get_header_value("Host"))) {
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
        std::unique_ptr<CAdminConnection> connection;
        SReply reply;
        try {
            connection = m_pin.connect(m_options.listenerTimeoutMs);
            reply = connection->login(user, password);
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
            gLog("listener at " + m_options.listenerHost + ":" +
                 std::to_string(m_options.listenerPort) +
                 " not reachable: " + trimmed(e->getDetailedMessage()));
            fail(res, 503,
                 "The listener at " + m_options.listenerHost + ":" +
                     std::to_string(m_options.listenerPort) +
                     " cannot be reached: " + trimmed(e->getMessage()),
                 ",\"listenerDown\":true");
            return;
        }
        vornadmin::gWipe(password);
        if (!reply.ok()) {
            gLog("login of user '" + user + "' from " + req.remote_addr + " refused (rc " +
                 std::to_string(reply.rc) + ")");
            fail(res, 401, "Login refused: " + replyError(reply),
                 ",\"rc\":" + std::to_string(reply.rc));
            return;
        }
        std::shared_ptr<CWebSession> session = m_sessions.create(user, std::move(connection));
        if (!session)
            return full();
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
            inSession(
                req, res, false,
                [action](CWebSession&, CAdminConnection& connection, httplib::Response& response) {
                    const SReply reply = send(connection, gMapAction(action, CForm()));
                    if (!reply.ok())
                        return refused(response, reply);
                    const SXmlElement* body = reply.body();
                    response.set_content(okJson(body != nullptr ? gElementToJson(*body) : "null"),
                                         kJson);
                });
        };
    };
    server.Get("/api/keys", reader("keys"));
    server.Get("/api/log", reader("log"));
    server.Get("/api/options", reader("options"));

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

    server.Get("/api/photo", [inSession](const httplib::Request& req, httplib::Response& res) {
        inSession(req, res, false,
                  [&req](CWebSession&, CAdminConnection& connection, httplib::Response& response) {
                      const CForm form({{"id", req.get_param_value("id")}});
                      const SReply reply = send(connection, gMapAction("photo", form));
                      if (!reply.ok())
                          return refused(response, reply);
                      response.set_content(vornadmin::gPhotoBytes(reply), "image/jpeg");
                  });
    });

    // ---- changes: one form, one listener request ----
    server.Post(R"(/api/action/([a-z-]{1,32}))", [inSession, formOf](const httplib::Request& req,
                                                                     httplib::Response& res) {
        const std::string action = req.matches[1];
        static const std::set<std::string> kChanges = {
            "entropy-pair", "entropy-subkey", "sign",   "revoke",
            "userid-add",   "userid-remove",  "remove", "conf-set"};
        if (kChanges.count(action) == 0) {
            res.status = 404;
            return;
        }
        inSession(
            req, res, true,
            [&](CWebSession& session, CAdminConnection& connection, httplib::Response& response) {
                const SXmlElement request = gMapAction(action, formOf(req));
                const SReply reply = send(connection, request);
                if (!reply.ok())
                    return refused(response, reply);
                if (action != "entropy-pair" && action != "entropy-subkey")
                    gLog("user '" + session.user() + "': " + action + " done");
                const SXmlElement* body = reply.body();
                response.set_content(okJson(body != nullptr ? gElementToJson(*body) : "null"),
                                     kJson);
            });
    });

    // Key pair or subkey: the entropy the page gathered goes first, then the generation, which
    // may take minutes; the page shows its progress meanwhile.
    server.Post(R"(/api/generate/(key-gen|subkey-gen))",
                [inSession, formOf](const httplib::Request& req, httplib::Response& res) {
                    const std::string action = req.matches[1];
                    inSession(req, res, true,
                              [&](CWebSession& session, CAdminConnection& connection,
                                  httplib::Response& response) {
                                  const CForm form = formOf(req);
                                  const SXmlElement generate = gMapAction(action, form);
                                  if (form.has("entropy")) {
                                      const SReply supplied =
                                          send(connection, gMapAction("entropy-supply", form));
                                      if (!supplied.ok())
                                          return refused(response, supplied);
                                  }
                                  const unsigned int saved = connection.options().timeoutMs;
                                  connection.setTimeout(std::max(saved, kGenerationTimeoutMs));
                                  SReply reply;
                                  try {
                                      reply = send(connection, generate);
                                  } catch (...) {
                                      connection.setTimeout(saved);
                                      throw;
                                  }
                                  connection.setTimeout(saved);
                                  if (!reply.ok())
                                      return refused(response, reply);
                                  gLog("user '" + session.user() + "': " + action + " done");
                                  response.set_content(okJson("null"), kJson);
                              });
                });

    server.Post("/api/export", [inSession, formOf](const httplib::Request& req,
                                                   httplib::Response& res) {
        inSession(
            req, res, true,
            [&](CWebSession& session, CAdminConnection& connection, httplib::Response& response) {
                const CForm form = formOf(req);
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

    // Import: the body is the key file. The reply lists the keys that were not there before.
    server.Post("/api/import", [inSession](const httplib::Request& req, httplib::Response& res) {
        inSession(
            req, res, true,
            [&](CWebSession& session, CAdminConnection& connection, httplib::Response& response) {
                const SXmlElement request = gMapImport(req.body);
                const SReply before = send(connection, gMapAction("keys", CForm()));
                if (!before.ok())
                    return refused(response, before);
                const SReply reply = send(connection, request);
                if (!reply.ok())
                    return refused(response, reply);
                const int status = vornadmin::gImportStatus(reply);
                const SReply after = send(connection, gMapAction("keys", CForm()));
                if (!after.ok())
                    return refused(response, after);
                const auto old = keyIndex(before);
                std::string added;
                size_t count = 0;
                for (const auto& entry : keyIndex(after)) {
                    if (old.count(entry.first) != 0)
                        continue;
                    const size_t tab = entry.second.find('\t');
                    if (count++ > 0)
                        added += ',';
                    added += "{\"id\":" + gJsonString(entry.second.substr(0, tab)) +
                             ",\"name\":" + gJsonString(entry.second.substr(tab + 1)) + "}";
                }
                gLog("user '" + session.user() + "' imported " + std::to_string(count) + " keys");
                response.set_content("{\"rc\":0,\"status\":" + std::to_string(status) +
                                         ",\"added\":[" + added + "]}",
                                     kJson);
            });
    });
}

void CWebServer::start() {
    if (m_options.port == 0) {
        const int port = m_server->bind_to_any_port(m_options.address);
        if (port <= 0)
            throw std::runtime_error("cannot bind " + m_options.address);
        m_port = static_cast<uint16_t>(port);
    } else {
        if (!m_server->bind_to_port(m_options.address, m_options.port))
            throw std::runtime_error("cannot bind " + m_options.address + ":" +
                                     std::to_string(m_options.port));
        m_port = m_options.port;
    }
    m_listenThread = std::thread([this] { m_server->listen_after_bind(); });
    m_sweepThread = std::thread([this] {
        std::unique_lock<std::mutex> lock(m_stopMutex);
        while (!m_stopping) {
            m_stopSignal.wait_for(lock, std::chrono::seconds(1));
            lock.unlock();
            const size_t ended = m_sessions.sweep();
            if (ended > 0)
                gLog(std::to_string(ended) + " idle session(s) ended");
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
    if (m_server)
        m_server->stop();
    if (m_listenThread.joinable())
        m_listenThread.join();
    if (m_sweepThread.joinable())
        m_sweepThread.join();
    m_sessions.clear();
}

} // namespace vornweb
