#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "fatal_error.h"

static const std::string CLOSING = "\n\n The program will now abort\n\n\n";

static bool ends_with(const std::string &text, const std::string &end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

static const char MESSAGE[] = "Unable to open serial port. In use already, or not present";

TEST(FatalReport, LaysOutMessageErrorNumberSystemTextAndClosingLine)
{
    char report[FATAL_REPORT_CAPACITY];
    build_fatal_report(report, sizeof report, MESSAGE, 2, "The system cannot find the file specified.\r\n");
    EXPECT_EQ(std::string(report),
              "\n\nAn Error has occurred as follows:\n"
              "          Unable to open serial port. In use already, or not present\n"
              "Error number 2 reported\n"
              "The system cannot find the file specified.\r\n"
              "\n\n The program will now abort\n\n\n");
}

TEST(FatalReport, HasNoErrorLineWhenTheErrorNumberIsZero)
{
    char report[FATAL_REPORT_CAPACITY];
    build_fatal_report(report, sizeof report, "Could not create dialog", 0, "ignored");
    EXPECT_EQ(std::string(report), "\n\nAn Error has occurred as follows:\n"
                                   "          Could not create dialog\n"
                                   "\n\n The program will now abort\n\n\n");
}

TEST(FatalReport, CutsASystemTextTooLongForTheBufferAndKeepsTheClosingLine)
{
    std::string endless(5000, 'x');
    char report[FATAL_REPORT_CAPACITY + 16];
    memset(report, '#', sizeof report);
    size_t length = build_fatal_report(report, FATAL_REPORT_CAPACITY, MESSAGE, 5, endless.c_str());
    EXPECT_EQ(length, strlen(report));
    EXPECT_EQ(length, (size_t)FATAL_REPORT_CAPACITY - 1);
    std::string text(report);
    EXPECT_NE(text.find("Error number 5 reported\nxxx"), std::string::npos);
    EXPECT_TRUE(ends_with(text, "x" + CLOSING)) << text;
    EXPECT_EQ(report[FATAL_REPORT_CAPACITY], '#') << "nothing written past the buffer";
    // A message that alone is too long is cut too, and the closing line still ends the report.
    build_fatal_report(report, FATAL_REPORT_CAPACITY, endless.c_str(), 0, "");
    EXPECT_TRUE(ends_with(report, CLOSING)) << report;
    EXPECT_EQ(report[FATAL_REPORT_CAPACITY], '#');
}
