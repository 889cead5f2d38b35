// A fixture for driving krellctl's event commands as programs against the event manager of the
// test's root, and readers of what they print.
#pragma once

#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "platform/root.h"
#include "scm/scm_admin.h"
#include "support/files.h"
#include "support/protection_root.h"
#include "support/test_root.h"

namespace evtest {

using krelltest::ProgramPath;
using krelltest::ReadText;
using krelltest::RunCommand;

inline std::vector<std::string> Lines(const std::string& sText) {
    std::vector<std::string> lines;
    std::istringstream in(sText);
    for (std::string sLine; std::getline(in, sLine);) {
        lines.push_back(sLine);
    }
    return lines;
}

class CKrellctlWatchTest : public testing::Test {
protected:
    void SetUp() override {
        m_sCtl = ProgramPath("krellctl");
        std::string sOutput;
        ASSERT_EQ(RunCommand(m_sCtl + " init", &sOutput), 0) << sOutput;
    }
    void TearDown() override {
        if (m_nWatch > 0) {
            krelltest::KillChild(m_nWatch);
        }
        krelltest::ShutdownProtectionRoot();
    }

    void StartManager() {
        std::string sOutput;
        ASSERT_EQ(RunCommand(m_sCtl + " service start zuZazEzi", &sOutput), 0) << sOutput;
        ASSERT_TRUE(scm::WaitForState(u"zuZazEzi", SERVICE_RUNNING, 20000));
    }
    // Starts a watch ("events watch ...", "alerts watch ...") with its output in files of the root;
    // returns once it has subscribed.
    void StartWatch(const std::string& sArguments, const char* szSubscribed) {
        m_sOut = platform::RootSubdirectory("run") + "/watch.out";
        m_sErr = platform::RootSubdirectory("run") + "/watch.err";
        // A watch before this one may have left its words there.
        unlink(m_sOut.c_str());
        unlink(m_sErr.c_str());
        m_nWatch = krelltest::StartChild(
            {"/bin/sh", "-c", "exec " + m_sCtl + " " + sArguments + " >" + m_sOut + " 2>" + m_sErr});
        ASSERT_GT(m_nWatch, 0);
        for (int n = 0; n < 400 && ReadText(m_sErr).find(szSubscribed) == std::string::npos; ++n) {
            usleep(25000);
        }
        ASSERT_NE(ReadText(m_sErr).find(szSubscribed), std::string::npos) << ReadText(m_sErr);
    }
    int WaitWatch() {
        const int nExit = krelltest::WaitChild(m_nWatch, 30000);
        if (nExit != -1) {
            m_nWatch = 0;
        }
        return nExit;
    }
    int Publish(const std::string& sArguments, std::string* psOutput = nullptr) {
        return RunCommand(m_sCtl + " events publish " + sArguments, psOutput);
    }

    std::string m_sCtl;
    std::string m_sOut;
    std::string m_sErr;
    pid_t m_nWatch = 0;
};

// The instant a time text of the tools ("2026-12-07T15:47:56.123+01:00") names, or -1 when it is
// not such a text.
inline time_t InstantOf(const std::string& sText) {
    tm parts{};
    int nMs = 0;
    char chSign = 0;
    int nOffsetHours = 0;
    int nOffsetMinutes = 0;
    if (std::sscanf(sText.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d%c%2d:%2d", &parts.tm_year, &parts.tm_mon,
                    &parts.tm_mday, &parts.tm_hour, &parts.tm_min, &parts.tm_sec, &nMs, &chSign,
                    &nOffsetHours, &nOffsetMinutes) != 10 ||
        (chSign != '+' && chSign != '-') || sText.size() != 29) {
        return -1;
    }
    parts.tm_year -= 1900;
    parts.tm_mon -= 1;
    const long lOffset = (chSign == '-' ? -60L : 60L) * (nOffsetHours * 60 + nOffsetMinutes);
    return timegm(&parts) - lOffset;
}

// The text of a JSON string member of a line.
inline std::string Member(const std::string& sLine, const std::string& sName) {
    const std::size_t nStart = sLine.find("\"" + sName + "\":\"");
    if (nStart == std::string::npos) {
        return "";
    }
    const std::size_t nText = nStart + sName.size() + 4;
    return sLine.substr(nText, sLine.find('"', nText) - nText);
}

}  // namespace evtest
