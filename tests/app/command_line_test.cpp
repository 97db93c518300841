// Which command lines are a request for usage or version, answered before the
// dialogue, and which start the dialogue with their meaning unchanged.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "tests/dialogue/dialogue_fixture.h"

namespace k24::test {
namespace {

struct CommandLineCase {
  std::vector<std::string> arguments;  // after the program's name
  CommandLineRequest request;
  bool diagnosticMode;  // what the dialogue makes of an Update
};

void PrintTo(const CommandLineCase& line, std::ostream* out) {
  *out << "k24update";
  for (const std::string& argument : line.arguments) *out << " '" << argument << "'";
}

class CommandLineTest : public DialogueFixture, public ::testing::WithParamInterface<CommandLineCase> {};

TEST_P(CommandLineTest, OnlyALoneHelpOrVersionIsARequest) {
  std::vector<std::string> args{"k24update"};
  args.insert(args.end(), GetParam().arguments.begin(), GetParam().arguments.end());
  EXPECT_EQ(ReadCommandLineRequest(args), GetParam().request);
  if (GetParam().request == CommandLineRequest::Update) {
    auto state = std::make_unique<DialogueState>();
    StartDialogue(ports, *state, args);
    EXPECT_EQ(state->diagnosticMode, GetParam().diagnosticMode);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, CommandLineTest,
    ::testing::Values(CommandLineCase{{}, CommandLineRequest::Update, false},
                      CommandLineCase{{"--help"}, CommandLineRequest::Help, false},
                      CommandLineCase{{"--version"}, CommandLineRequest::Version, false},
                      CommandLineCase{{"--history"}, CommandLineRequest::History, false},
                      CommandLineCase{{"diag"}, CommandLineRequest::Update, true},
                      // Beside anything else, neither is special, and diag is no lone diag.
                      CommandLineCase{{"--help", "diag"}, CommandLineRequest::Update, false},
                      CommandLineCase{{"diag", "--version"}, CommandLineRequest::Update, false},
                      CommandLineCase{{"--version", "--version"}, CommandLineRequest::Update, false},
                      CommandLineCase{{"--history", "diag"}, CommandLineRequest::Update, false},
                      CommandLineCase{{"--help", ""}, CommandLineRequest::Update, false},
                      // No abbreviations, other spellings or case.
                      CommandLineCase{{"-h"}, CommandLineRequest::Update, false},
                      CommandLineCase{{"help"}, CommandLineRequest::Update, false},
                      CommandLineCase{{"--HELP"}, CommandLineRequest::Update, false},
                      CommandLineCase{{"--vers"}, CommandLineRequest::Update, false},
                      CommandLineCase{{"-V"}, CommandLineRequest::Update, false},
                      CommandLineCase{{"--hist"}, CommandLineRequest::Update, false},
                      CommandLineCase{{"--help "}, CommandLineRequest::Update, false}));

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

TEST(VersionText, NamesTheProjectVersionAndSaysWhenTheImagesAreSamples) {
  EXPECT_EQ(VersionText(false), std::string("k24update ") + K24_EXPECTED_VERSION + "\n");
  EXPECT_EQ(VersionText(true), std::string("k24update ") + K24_EXPECTED_VERSION +
                                   "\nThis build carries sample images, not real recorder firmware: it changes "
                                   "nothing on a recorder.\n");
}

}  // namespace
}  // namespace k24::test
