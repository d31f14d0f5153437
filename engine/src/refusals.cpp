// refusals: the switches of the operation table that the engine refuses (exit 9), grouped by the
// part of the product they belong to, each part with the reason this build leaves it out. Every
// other switch of the table is read by some command. docs/orxcmd.md lists the same parts.
#include "engine_internal.h"

#include <oozaf/util.h>

#include <orx/zafengine.h>

using namespace oozaf;

namespace orxengine {

namespace {

struct SRefusedPart {
    SRefusal refusal;
    std::vector<const char*> switches;
};

const std::vector<SRefusedPart>& refusedParts() {
    static const std::vector<SRefusedPart> parts = {
        {{"mail and file transfer (SMTP/FTP)",
          "orxcmd writes files and standard output; sending them by mail or FTP is the work of "
          "the host's mail and transfer programs, which keep their own credentials"},
         {"--smtp", "--smtp-server", "--smtp-port", "--smtp-username", "--smtp-password",
          "--smtp-recipient", "--smtp-sender", "--smtp-subject", "--smtp-cc", "--smtp-bcc",
          "--smtp-note", "--smtp-note-file", "--ftp", "--ftp-password", "--ftp-pathname",
          "--ftp-port", "--ftp-secure", "--ftp-server", "--ftp-username"}},
        {{"X.509 certificates and certificate authorities",
          "the key rings hold RFC 4880 keys only; X.509 certificates, certificate authorities "
          "and their enrolment questions belong to an X.509 tool set"},
         {"--x509",         "--ca-revocation-url", "--ca-root-cert",    "--ca-type",
          "--ca-url",       "--cert-attribute",    "--cert-depth",      "--cert-issuer",
          "--cert-request", "--cert-retrieve",     "--cert-serial",     "--crl",
          "--issuer-dn",    "--issuer-serial",     "--serial",          "--question",
          "--answer",       "--auth-user",         "--auth-passphrase", "--hostname",
          "--my-name",      "--description",       "--char-set",        "--language"}},
        {{"PKCS#10 requests",
          "a PKCS#10 request asks an X.509 authority for a certificate, and the key rings hold "
          "no X.509 material"},
         {"--pkcs10"}},
        {{"self-decrypting archives",
          "a self-decrypting archive is a program for another platform that its recipient must "
          "run; orxcmd sends no executables (encrypt with --conventional instead)"},
         {"--sda", "--archive"}},
        {{"the secure viewer",
          "the secure viewer shows decrypted text in a window that cannot save it; a terminal "
          "can always keep what it shows, so orxcmd offers no such promise"},
         {"--secure-viewer"}},
        {{"MIME",
          "building and parsing MIME mail is the mail program's work; orxcmd encrypts, signs, "
          "decrypts and verifies the data it is given"},
         {"--zaf-mime", "--zaf-mime-parse"}},
        {{"sending keys to a key server",
          "the key server accepts keys only in an armour this system does not write (it answers "
          "500 \"text terminated before reaching ... public key header line\"); export the key "
          "with --key-export --armor and submit it with the server's own tools"},
         {"--keyserver-send"}},
        {{"deleting and disabling keys on a key server",
          "the key server protocol (HKP) has no operation to delete or disable a key on the "
          "server"},
         {"--keyserver-delete", "--keyserver-disable"}},
    };
    return parts;
}

} // namespace

const SRefusal* gRefusal(eZAFOp op) {
    const SZAFOpStruct* row = _gGetOpStruct(op);
    if (row == nullptr || row->cmdlineSwitch == nullptr)
        return nullptr;
    for (const SRefusedPart& part : refusedParts())
        for (const char* sw : part.switches)
            if (CZAFUtil::compareIgnoreCase(sw, row->cmdlineSwitch))
                return &part.refusal;
    return nullptr;
}

std::vector<std::pair<std::string, const SRefusal*>> gRefusedSwitches() {
    std::vector<std::pair<std::string, const SRefusal*>> all;
    for (const SRefusedPart& part : refusedParts())
        for (const char* sw : part.switches)
            all.emplace_back(sw, &part.refusal);
    return all;
}

std::string gRefusalText(const std::string& sw, const SRefusal& refusal) {
    return sw + " is not supported (" + refusal.part + "): " + refusal.reason;
}

} // namespace orxengine

extern "C" int32_t ZAFvornSwitchRefused(const char* longSwitch) {
    if (longSwitch == nullptr)
        return 0;
    for (const auto& refused : orxengine::gRefusedSwitches())
        if (oozaf::CZAFUtil::compareIgnoreCase(refused.first, longSwitch))
            return 1;
    return 0;
}
