// keyservercommands: the key server commands of the engine: searching an HKP key server, fetching
// keys from it and refreshing held keys (refusals.cpp says why the other key server switches are
// refused).
#include "engine_internal.h"

#include <oozaf/keydb.h>
#include <oozaf/throwable.h>
#include <oozaf/util.h>
#include <oozaf/vornserverkeyserver.h>

#include <cstdio>

using namespace oozaf;

namespace orxengine {

namespace {

template <class T> using Owned = std::unique_ptr<T>;

// Runs `body`, turning key server failures into the engine's result codes: an unusable address
// is a command-line error, an LDAP server a part this build lacks, a key the server lacks "no
// key", a short key ID several keys carry "ambiguous"; the rest keeps gDescribeThrowable's code.
template <class F> void keyServerCall(F&& body) {
    try {
        body();
    } catch (CZAFNoKeyServerException* e) {
        CZAFThrowableGuard guard(e);
        fail(kZAFvorn_Usage, "no key server is named: give --keyserver URL or set Key-Server in "
                             "the configuration");
    } catch (CZAFKeyServerAmbiguousException* e) {
        SEngineError error = gDescribeThrowable(e);
        fail(kZAFvorn_Ambiguous, error.message);
    } catch (CZAFKeyServerException* e) {
        const int32_t code = e->getCode();
        SEngineError error = gDescribeThrowable(e);
        if (code == kZAFError_KeyServerAddress)
            error.code = kZAFvorn_Usage;
        else if (code == kZAFError_KeyServerType)
            error.code = kZAFvorn_Unsupported;
        fail(error.code, error.message);
    }
}

Owned<CZAFKeyServer> openKeyServer(CEngineRun& run) {
    Owned<CZAFKeyServer> keyServer;
    keyServerCall([&] { keyServer.reset(gOpenKeyServer(run.server(), "")); });
    return keyServer;
}

std::string dateOf(const CZAFTime& t) { return t.isNever() ? "never" : t.formatYMD(false); }
std::string secondsOf(const CZAFTime& t) {
    return t.isNever() ? "" : std::to_string(t.getZAFTime());
}

// The key ID part of an index entry: the long key ID when the server gave a fingerprint.
std::string listedID(const SZAFKeyServerEntry& entry, bool longForm) {
    const std::string hex = entry.keyID.substr(2);
    if (hex.size() == 40)
        return "0x" + hex.substr(longForm ? 24 : 32);
    if (hex.size() == 16 && !longForm)
        return "0x" + hex.substr(8);
    return entry.keyID;
}

void listEntry(const SZAFKeyServerEntry& entry, bool colons, std::string& out) {
    const std::string first = entry.userIDs.empty() ? std::string() : entry.userIDs.front();
    if (colons) {
        std::string flags;
        if (entry.revoked)
            flags += 'r';
        if (entry.expired)
            flags += 'e';
        if (entry.disabled)
            flags += 'd';
        const char validity = entry.revoked ? 'r' : entry.expired ? 'e' : 'u';
        out += std::string("pub:") + validity + ":" + std::to_string(entry.bits) + ":" +
               (entry.algorithm < 0 ? std::string() : std::to_string(entry.algorithm)) + ":" +
               listedID(entry, true).substr(2) + ":" + secondsOf(entry.created) + ":" +
               secondsOf(entry.expires) + "::" + flags + ":" + gColonField(first) + ":\n";
        if (entry.keyID.size() == 42)
            out += "fpr:::::::::" + entry.keyID.substr(2) + ":\n";
        for (const std::string& uid : entry.userIDs)
            out += "uid:::::::::" + gColonField(uid) + ":\n";
        return;
    }
    char line[160];
    std::snprintf(line, sizeof line, "pub  %-7s %5u  %s  %s  ",
                  entry.algorithm < 0 ? "?" : gAlgorithmName(entry.algorithm).c_str(), entry.bits,
                  listedID(entry, false).c_str(), dateOf(entry.created).c_str());
    out += line + gShownText(first);
    if (entry.revoked)
        out += " [revoked]";
    if (entry.expired)
        out += " [expired]";
    if (entry.disabled)
        out += " [disabled]";
    if (!entry.expires.isNever())
        out += " [expires " + dateOf(entry.expires) + "]";
    out += "\n";
    if (entry.keyID.size() == 42) {
        std::string grouped;
        for (size_t i = 2; i < entry.keyID.size(); i += 4)
            grouped += (grouped.empty() ? "" : (i == 22 ? "  " : " ")) + entry.keyID.substr(i, 4);
        out += "     Fingerprint: " + grouped + "\n";
    }
    for (size_t i = 1; i < entry.userIDs.size(); ++i)
        out += "uid  " + gShownText(entry.userIDs[i]) + "\n";
    if (entry.moreUserIDs > 0)
        out += "uid  (" + std::to_string(entry.moreUserIDs) + " more not shown)\n";
}

} // namespace

void gCmdKeyServerSearch(CEngineRun& run) {
    Owned<CZAFKeyServer> keyServer = openKeyServer(run);
    const bool colons = run.cmd().has("--with-colons");
    std::string text;
    size_t found = 0;
    for (const std::string& pattern : run.args()) {
        run.checkCancel();
        if (pattern.empty())
            fail(kZAFvorn_Usage, "--keyserver-search needs a text to look for");
        std::vector<SZAFKeyServerEntry> entries;
        keyServerCall([&] { entries = keyServer->search(pattern); });
        for (const SZAFKeyServerEntry& entry : entries)
            listEntry(entry, colons, text);
        found += entries.size();
    }
    if (!colons)
        text += std::to_string(found) + (found == 1 ? " key found\n" : " keys found\n");
    Owned<COutput> output(run.openOutput(false));
    output->write(text);
    output->commit();
}

void gCmdKeyServerFetch(CEngineRun& run) {
    for (const std::string& name : run.args())
        if (!gIsKeyServerKeyName(name))
            fail(kZAFvorn_Usage, "'" + name +
                                     "' is not a key ID or fingerprint (0x and 8 or 16 hex "
                                     "digits, or the 40 of a fingerprint)");
    Owned<CZAFKeyServer> keyServer = openKeyServer(run);
    std::vector<SVornImportedKey> report;
    keyServerCall([&] { gFetchFromKeyServer(run.server(), *keyServer, run.args(), report); });
    unsigned int counts[3] = {0, 0, 0};
    std::string text;
    const bool colons = run.cmd().has("--with-colons");
    gAppendImportReport(report, colons, counts, text);
    if (!colons)
        text += gImportSummary(counts);
    run.out(text);
}

void gCmdKeyUpdate(CEngineRun& run) {
    Owned<CZAFKeySet> set(run.findKeys(run.args()));
    Owned<CZAFKeyServer> keyServer = openKeyServer(run);
    std::vector<Owned<CZAFKey>> keys;
    std::vector<const CZAFKey*> asked;
    Owned<CZAFIterator> iter(set->getIterator());
    for (;;) {
        CZAFDatabaseObject* object = nullptr;
        const ZAFError code = iter->next(kZAFKeyDBObjType_Key, object);
        if (code == kZAFError_EndOfIteration)
            break;
        if (code != kZAFError_NoErr)
            throw new CZAFSDKException(code);
        keys.emplace_back(static_cast<CZAFKey*>(object));
        asked.push_back(keys.back().get());
    }
    iter.reset();
    std::vector<SVornImportedKey> report;
    std::vector<const CZAFKey*> notOnServer;
    keyServerCall(
        [&] { gRefreshFromKeyServer(run.server(), *keyServer, asked, report, notOnServer); });
    const bool colons = run.cmd().has("--with-colons");
    unsigned int counts[3] = {0, 0, 0};
    std::string text;
    gAppendImportReport(report, colons, counts, text);
    for (const CZAFKey* key : notOnServer) {
        if (colons)
            text += "imp:absent:" + key->getKeyIDString_Long().substr(2) +
                    "::" + gColonField(key->getPrimaryUserIDName()) + ":\n";
        else
            text += "key " + key->getKeyIDString_Short() + " " +
                    gShownText(key->getPrimaryUserIDName()) + ": not on the key server\n";
    }
    if (!colons)
        text += gImportSummary(counts) + (notOnServer.empty() ? std::string()
                                                              : std::to_string(notOnServer.size()) +
                                                                    " not on the key server\n");
    run.out(text);
}

} // namespace orxengine
