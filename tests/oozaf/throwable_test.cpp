// Tests of reason texts and the rendering of throwable chains.
#include "expect_throw.h"

#include <oozaf/logger.h>
#include <oozaf/throwable.h>

#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <sstream>

using namespace oozaf;

TEST(Throwable, ReasonTextsAndUnknownCodes) {
    EXPECT_EQ("Error setting linger time on socket", gGetReasonText(eReasonSocketLinger));
    EXPECT_EQ("An alias' code must start with a '-'", gGetReasonText(eReasonAliasCode));
    EXPECT_EQ("Multiple User ID's found for pattern", gGetReasonText(eReasonUserIDAmbiguous));

    std::ostringstream log;
    CZAFLogger logger;
    logger.setLog(log);
    logger.setLogLevel(CZAFLogger::eLogError);
    gSetOOZAFLogger(&logger);
    EXPECT_EQ("Error: Unidentified reason: 1234", gGetReasonText(static_cast<eReason>(1234)));
    gSetOOZAFLogger(nullptr);
    EXPECT_NE(std::string::npos, log.str().find("] Error: Unidentified reason: 1234\n"));
}

TEST(Throwable, ReasonNoneIsAnAssertion) {
    auto e = expectThrow<CZAFInternalError>([] { gGetReasonText(eReasonNone); });
    ASSERT_TRUE(e);
    EXPECT_EQ("throwable", e->getFile());
    std::string message = e->getMessage();
    EXPECT_EQ(0u, message.find("file    : throwable\nline    : "));
    EXPECT_NE(std::string::npos, message.find("\nmessage : Assertion Failed\n"));
    EXPECT_NE(std::string::npos, e->getDetailedMessage().find("\nReason: Internal error\n"));
}

TEST(Throwable, SocketIOChainEndsWithTwoLineBreaks) {
    CZAFSocketIOException e(104);
    EXPECT_EQ("An I/O error occured on socket\nError message: " +
                  CZAFOSException::getOSMessage(104) + "\n\n",
              e.getDetailedMessage());
}

TEST(Throwable, ReasonLineStandsBetweenMessageAndCause) {
    CZAFSocketControlException e(eReasonSocketBind, EADDRINUSE);
    EXPECT_EQ("An error occured while trying to control socket\nReason: Error binding socket\n"
              "Error message: " +
                  std::string(std::strerror(EADDRINUSE)) + "\n\n",
              e.getDetailedMessage());
}

TEST(Throwable, WrappedCausesRenderHighLevelFirstAndAreOwned) {
    auto* parse = new CZAFPropertiesParsingException(eReasonQuoteMismatch);
    parse->setLineNumber(7);
    parse->setInfo("a=\"b");
    CZAFServerOpenException outer(eReasonUserConfRead, parse);
    EXPECT_EQ("Error opening Vorn Server\n"
              "Reason: Could not read user's configuration file\n"
              "Line number: 7\nInformation: a=\"b\n\n"
              "Reason: Quote mismatch in line\n\n",
              outer.getDetailedMessage());
    EXPECT_EQ(parse, outer.getRoot());

    std::ostringstream out;
    out << outer;
    EXPECT_EQ(outer.getDetailedMessage() + "\n", out.str());
}

TEST(Throwable, MessagesOfTheFamily) {
    EXPECT_EQ("Out of entropy. Needed - 300, available - 12",
              CZAFEntropyShortageException(300, 12).getMessage());
    EXPECT_EQ(eReasonOutOfEntropy, CZAFEntropyShortageException(1, 0).getReason());
    EXPECT_EQ("Table look-up failure: Value '42' does not exist in table 'Cipher Algorithm'",
              CZAFNoSuchCipherError(42L).getMessage());
    EXPECT_EQ("Table look-up failure: Value 'foo' does not exist in table 'Directive'",
              CZAFNoSuchDirectiveError("foo").getMessage());
    EXPECT_EQ("Incorrect number of arguments for switch '--port'\nMinimum arguments allowed: 1\n"
              "Maximum arguments allowed: 2",
              CZAFIncorrectArgsNumException("--port", 1, 2).getMessage());
    EXPECT_EQ("Incorrect number of arguments for switch '--x'\nMaximum arguments allowed: 3",
              CZAFIncorrectArgsNumException("--x", 0, 3).getMessage());
    EXPECT_EQ("Error writing to file /tmp/x\n", CZAFFileWriteException("/tmp/x", EIO).getMessage());
    EXPECT_EQ("Error opening file /a (mode = 3)", CZAFFileOpenException("/a", 3, 2).getMessage());

    CZAFPropertiesParsingException withPath(eReasonNotADirectory, std::string("/etc/passwd"));
    withPath.setLineNumber(3);
    EXPECT_EQ("Line number: 3\nError parsing file or directory path: /etc/passwd",
              withPath.getMessage());
    CZAFPropertiesParsingException fromRoot(new CZAFOSException(EIO));
    EXPECT_EQ(eReasonParse, fromRoot.getReason());

    CZAFKeyGenException byReason(eReasonKeySize);
    EXPECT_EQ("Error generating key\nReason: Key size not in allowed range\n",
              byReason.getDetailedMessage());
}

TEST(Throwable, SDKExceptionCapitalisesTheToolkitText) {
    EXPECT_EQ("Bad passphrase", CZAFSDKException(-11500).getMessage());
    EXPECT_EQ("An error occured while trying to create a context object\nOut of memory",
              CZAFContextCreationException(-12001).getMessage());
    CZAFPropertyAccessError access(401, -11998);
    EXPECT_EQ("Error accessing property 401\nBuffer too small\n\n", access.getDetailedMessage());
}

TEST(Throwable, STLErrorCarriesWhat) {
    std::runtime_error inner("boom");
    EXPECT_EQ("An STL error has occured:\nboom\n", CZAFSTLError(inner).getMessage());
}
