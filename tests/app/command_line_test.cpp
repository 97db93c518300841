// Which command lines are a request for usage, version, history or the
// listing, which choose a recorder by its place, and which start the dialogue
// with their meaning unchanged.
#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/command_line.h"

namespace k24::test {
namespace {

struct CommandLineCase {
  std::vector<std::string> arguments;  // after the program's name
  CommandLineRequest request;
  bool diagnosticMode;  // for an Update
  std::optional<std::string> place = std::nullopt;
};

void PrintTo(const CommandLineCase& line, std::ostream* out) {
  *out << "k24update";
  for (const std::string& argument : line.arguments) *out << " '" << argument << "'";
}

class CommandLineTest : public ::testing::TestWithParam<CommandLineCase> {};

TEST_P(CommandLineTest, OnlyALoneRequestOrAPathWithItsPlaceIsRead) {
  std::vector<std::string> args{"k24update"};
  args.insert(args.end(), GetParam().arguments.begin(), GetParam().arguments.end());
  const CommandLine line = ReadCommandLine(args);
  EXPECT_EQ(line.request, GetParam().request);
  EXPECT_EQ(line.diagnosticMode, GetParam().diagnosticMode);
  EXPECT_EQ(line.place, GetParam().place);
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, CommandLineTest,
    ::testing::Values(CommandLineCase{{}, CommandLineRequest::Update, false},
                      CommandLineCase{{"--help"}, CommandLineRequest::Help, false},
                      CommandLineCase{{"--version"}, CommandLineRequest::Version, false},
                      CommandLineCase{{"--history"}, CommandLineRequest::History, false},
                      CommandLineCase{{"--list"}, CommandLineRequest::List, false},
                      CommandLineCase{{"diag"}, CommandLineRequest::Update, true},
                      // Beside anything else, neither is special, and diag is no lone diag.
                      CommandLineCase{{"--help", "diag"}, CommandLineRequest::Update, false},
                      CommandLineCase{{"diag", "--version"}, CommandLineRequest::Update, false},
                      CommandLineCase{{"--version", "--version"}, CommandLineRequest::Update, false},
                      CommandLineCase{{"--history", "diag"}, CommandLineRequest::Update, false},
                      CommandLineCase{{"--list", "diag"}, CommandLineRequest::Update, false},
                      CommandLineCase{{"--help", ""}, CommandLineRequest::Update, false},
                      CommandLineCase{{"diag", "x"}, CommandLineRequest::Update, false},
                      // A place elsewhere than right after --path is no choice.
                      CommandLineCase{{"diag", "--path", "1-1"}, CommandLineRequest::Update, false},
                      // No abbreviations, other spellings or case.
                      CommandLineCase{{"-h"}, CommandLineRequest::Update, false},
                      CommandLineCase{{"help"}, CommandLineRequest::Update, false},
                      CommandLineCase{{"--HELP"}, CommandLineRequest::Update, false},
                      CommandLineCase{{"--vers"}, CommandLineRequest::Update, false},
                      CommandLineCase{{"-V"}, CommandLineRequest::Update, false},
                      CommandLineCase{{"--hist"}, CommandLineRequest::Update, false},
                      CommandLineCase{{"--help "}, CommandLineRequest::Update, false},
                      CommandLineCase{{"-l"}, CommandLineRequest::Update, false},
                      CommandLineCase{{"DIAG"}, CommandLineRequest::Update, false},
                      CommandLineCase{{"-diag"}, CommandLineRequest::Update, false},
                      // --path and its place, with diag alone after them.
                      CommandLineCase{{"--path", "3-1.4"}, CommandLineRequest::Update, false, "3-1.4"},
                      CommandLineCase{{"--path", "1-2", "diag"}, CommandLineRequest::Update, true, "1-2"},
                      CommandLineCase{{"--path"}, CommandLineRequest::BadPath, false},
                      CommandLineCase{{"--path", "diag"}, CommandLineRequest::BadPath, false},
                      CommandLineCase{{"--path", "1-2", "DIAG"}, CommandLineRequest::BadPath, false},
                      CommandLineCase{{"--path", "1-2", "diag", "x"}, CommandLineRequest::BadPath, false},
                      CommandLineCase{{"--path", "usb:001:052"}, CommandLineRequest::BadPath, false},
                      CommandLineCase{{"--path", "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)", "diag"},
                                      CommandLineRequest::Update, true, "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)"}));

struct PlaceCase {
  const char* text;
  bool place;
};

TEST(IsPlace, BusDashPortsJoinedByDots) {
  const PlaceCase cases[] = {
      {"3-1.4", true},           {"1-1", true},          {"255-255", true},
      {"1-1.2.3.4.5.6.7", true},  // seven tiers of hubs
      {"1-1.2.3.4.5.6.7.8", false}, {"1-256", false},     {"0-1", false},
      {"1-0", false},            {"1-01", false},        {"1", false},
      {"1-", false},             {"-1", false},          {"1-1.", false},
      {"1-1..2", false},         {"1-1.x", false},       {"1--1", false},
      {"ezusb-3", false},        {" 1-1", false},        {"1-1 ", false},
      {"", false},
  };
  for (const PlaceCase& c : cases) EXPECT_EQ(IsPlace(c.text), c.place) << c.text;
}

struct TraceCase {
  std::vector<std::string> arguments;  // after the program's name
  bool given;
  std::string path;
  std::vector<std::string> rest;  // what the dialogue then sees after the name
};

void PrintTo(const TraceCase& line, std::ostream* out) {
  *out << "k24update";
  for (const std::string& argument : line.arguments) *out << " '" << argument << "'";
}

class TraceOption : public ::testing::TestWithParam<TraceCase> {};

TEST_P(TraceOption, IsTakenOutWithItsFileAndTheRestKeepsItsMeaning) {
  std::vector<std::string> args{"k24update"};
  args.insert(args.end(), GetParam().arguments.begin(), GetParam().arguments.end());
  const TraceRequest trace = TakeTraceRequest(args);
  EXPECT_EQ(trace.given, GetParam().given);
  EXPECT_EQ(trace.path, GetParam().path);
  std::vector<std::string> rest{"k24update"};
  rest.insert(rest.end(), GetParam().rest.begin(), GetParam().rest.end());
  EXPECT_EQ(args, rest);
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, TraceOption,
    ::testing::Values(TraceCase{{}, false, "", {}}, TraceCase{{"diag"}, false, "", {"diag"}},
                      TraceCase{{"--trace", "run.pcap"}, true, "run.pcap", {}},
                      TraceCase{{"--trace", "run.pcap", "diag"}, true, "run.pcap", {"diag"}},
                      TraceCase{{"diag", "--trace", "run.pcap"}, true, "run.pcap", {"diag"}},
                      // The word after it is the file, whatever it is.
                      TraceCase{{"--trace", "diag"}, true, "diag", {}},
                      TraceCase{{"diag", "--trace"}, true, "", {"diag"}},
                      // Only the first; a second stays, and makes the line an ordinary update.
                      TraceCase{{"--trace", "a", "--trace", "b"}, true, "a", {"--trace", "b"}},
                      TraceCase{{"--trace=run.pcap"}, false, "", {"--trace=run.pcap"}},
                      TraceCase{{"--TRACE", "run.pcap"}, false, "", {"--TRACE", "run.pcap"}}));

TEST(IsPlace, OrAWindowsLocationPath) {
  const PlaceCase cases[] = {
      {"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)", true},
      {"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(4)#USB(1)", true},  // behind two hubs
      {"ACPI(_SB_)#ACPI(PCI0)#ACPI(XHC_)#ACPI(RHUB)#ACPI(HS04)", true},
      {"USB(4)", true},
      {"PCIROOT(0)#", false},    {"#USB(4)", false},           {"PCIROOT(0)##USB(4)", false},
      {"PCIROOT(0)USB(4)", false}, {"USB(4", false},           {"USB4)", false},
      {"(4)", false},            {"usb(4)", false},            {"USB(4)#usb:001", false},
      {"USB(4) ", false},        {"USB(4)#USB(1 2)", false},   {"USB)4(", false},
  };
  for (const PlaceCase& c : cases) EXPECT_EQ(IsPlace(c.text), c.place) << c.text;
}

TEST(VersionText, NamesTheProjectVersionAndSaysWhenTheImagesAreSamples) {
  EXPECT_EQ(VersionText(false), std::string("k24update ") + K24_EXPECTED_VERSION + "\n");
  EXPECT_EQ(VersionText(true), std::string("k24update ") + K24_EXPECTED_VERSION +
                                   "\nThis build carries sample images, not real recorder firmware: it changes "
                                   "nothing on a recorder.\n");
}

}  // namespace
}  // namespace k24::test
