// The status bits check the player makes at every step of a deterministic run: what a
// printer shows against what the port attached to it holds.
#include <gtest/gtest.h>

#include <windows.h>
#include <winspool.h>

#include "stepcheck.h"

namespace {

using kvtools::PortStatus;
using kvtools::StatusBitsProblem;

const DWORD kJam = PRINTER_STATUS_PAPER_JAM | PRINTER_STATUS_USER_INTERVENTION;
const DWORD kJamCode = 42632;
const DWORD kNoAnswerCode = 901;

PortStatus Port(const std::string& printer, DWORD held, DWORD lastCode, bool polling = true)
{
    return PortStatus{"USB001", printer, held, lastCode, polling};
}

TEST(StatusBits, CodesMeanTheirRowsBitsAndUnknownCodesMeanOffline)
{
    EXPECT_EQ(kvtools::CodeBits(kJamCode), kJam);
    EXPECT_EQ(kvtools::CodeBits(kNoAnswerCode), static_cast<DWORD>(PRINTER_STATUS_OFFLINE));
    EXPECT_EQ(kvtools::CodeBits(12345), static_cast<DWORD>(PRINTER_STATUS_OFFLINE));
}

TEST(StatusBits, APrinterShowsWhatItsPollingPortHolds)
{
    EXPECT_EQ(StatusBitsProblem({Port("P", kJam, kJamCode)}, {{"P", kJam}}), "");
    EXPECT_EQ(StatusBitsProblem({Port("P", 0, kJamCode)}, {{"P", 0}}), "");
    // A clear that lost the race with a query: the printer lost the jam the port holds.
    EXPECT_EQ(StatusBitsProblem({Port("P", kJam, kJamCode)}, {{"P", 0}}),
              "printer \"P\" shows 0x00000000 none, but port USB001 holds 0x00100008 PAPER_JAM | USER_INTERVENTION "
              "(last applied code 42632)");
    // The other way round: the port cleared, the printer still shows the jam.
    EXPECT_NE(StatusBitsProblem({Port("P", 0, kJamCode)}, {{"P", kJam}}).find("shows 0x00100008"), std::string::npos);
}

TEST(StatusBits, APrinterShowsNothingOnceItsPortLetGo)
{
    // No polling thread any more: the release cleared the printer, the port keeps its bits.
    EXPECT_EQ(StatusBitsProblem({Port("P", kJam, kJamCode, false)}, {{"P", 0}}), "");
    // A new document, before its first code.
    EXPECT_EQ(StatusBitsProblem({Port("P", kJam, 0)}, {{"P", 0}}), "");
    // Let go means nothing shown, not other bits.
    EXPECT_NE(StatusBitsProblem({Port("P", kJam, kJamCode, false)}, {{"P", PRINTER_STATUS_OFFLINE}}), "");
}

TEST(StatusBits, APortHoldsNothingOrItsLastCodesBits)
{
    EXPECT_EQ(StatusBitsProblem({Port("P", kJam, kNoAnswerCode)}, {{"P", kJam}}),
              "port USB001 holds 0x00100008 PAPER_JAM | USER_INTERVENTION, but its last applied code 901 means "
              "0x00000080 OFFLINE");
}

TEST(StatusBits, APrinterNoPortIsAttachedToShowsNothing)
{
    // The port moved to "New" and left its bits on "Old".
    EXPECT_EQ(StatusBitsProblem({Port("New", 0, 0)}, {{"Old", kJam}, {"New", 0}}),
              "printer \"Old\" shows 0x00100008 PAPER_JAM | USER_INTERVENTION, but no open port is attached to it");
    EXPECT_EQ(StatusBitsProblem({Port("New", 0, 0)}, {{"Old", 0}, {"New", 0}}), "");
    EXPECT_NE(StatusBitsProblem({}, {{"P", PRINTER_STATUS_OFFLINE}}), "");
}

}  // namespace
