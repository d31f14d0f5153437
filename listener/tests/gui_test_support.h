// gui_test_support: starts the XML library once for a listener test program, and small helpers
// shared by the listener's unit tests.
#ifndef ORX_LISTENER_GUI_TEST_SUPPORT_H
#define ORX_LISTENER_GUI_TEST_SUPPORT_H

#include <xercesc/util/PlatformUtils.hpp>

#include <gtest/gtest.h>

// Registered by the test program: the XML library is initialised before the first test and
// terminated after the last one.
class XmlEnvironment final : public ::testing::Environment {
public:
    void SetUp() override { xercesc::XMLPlatformUtils::Initialize(); }
    void TearDown() override { xercesc::XMLPlatformUtils::Terminate(); }
};

inline ::testing::Environment* const gXmlEnvironment =
    ::testing::AddGlobalTestEnvironment(new XmlEnvironment);

#endif
