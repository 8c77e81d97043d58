// The composition file: the list form round trip, the single-patch form, and what a
// malformed patch list is reported as.
#include "CComposition.h"

#include <gtest/gtest.h>

#include "CProgramTest.h"
#include "QcKelmarPlugIn.h"

namespace {

namespace fs = std::filesystem;

int Occurrences(std::string const& text, std::string const& part) {
  int n = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

class CompositionFile : public CProgramTest {
 protected:
  // Two patches: one with everything, one with nothing but its name.
  static CComposition TwoPatches() {
    CComposition c;
    c.patches.resize(2);
    c.patches[0].settings = {{"udpPort", 40000}, {"inBase", 5}, {"outChannels", 3}};
    c.patches[0].inputs = {{"In5", 0.5}, {"In99", 0.25}};
    c.patches[0].olaIn = 0;
    c.patches[0].olaOut = 4294967295u;
    c.patches[1].olaOut = 7;
    return c;
  }
};

TEST_F(CompositionFile, ListFormRoundTripsEveryPatchInOrderWithItsUniverses) {
  CComposition const written = TwoPatches();
  std::string error;
  std::string const path = (Dir() / "show.json").string();
  ASSERT_TRUE(written.Save(path, &error)) << error;
  EXPECT_FALSE(fs::exists(path + ".tmp"));

  CComposition read;
  bool exists = false;
  ASSERT_TRUE(read.Load(path, &exists, &error)) << error;
  EXPECT_TRUE(exists);
  EXPECT_EQ(read.patches, written.patches);
  // Unset universes stay out of the file rather than being written as something.
  EXPECT_EQ(read.patches[1].olaIn, std::nullopt);
  std::string const text = ReadFile(path);
  EXPECT_EQ(text, written.Text());
  EXPECT_EQ(Occurrences(text, "\"olaIn\""), 1);
}

TEST_F(CompositionFile, SinglePatchFormLoadsAsOnePatchAndIsSavedAsAList) {
  CComposition c;
  std::string error;
  ASSERT_TRUE(c.Parse(R"({"patch": "Kelmar Network", "settings": {"udpPort": 40001},
                          "inputs": {"In2": 1}, "olaIn": 3})",
                      "old.json", &error))
      << error;
  ASSERT_EQ(c.patches.size(), 1u);
  EXPECT_EQ(c.patches[0].settings, (std::map<std::string, double>{{"udpPort", 40001}}));
  EXPECT_EQ(c.patches[0].inputs, (std::map<std::string, double>{{"In2", 1.0}}));
  EXPECT_EQ(c.patches[0].olaIn, 3u);
  EXPECT_EQ(c.patches[0].olaOut, std::nullopt);

  CComposition again;
  ASSERT_TRUE(again.Parse(c.Text(), "new.json", &error)) << error;
  EXPECT_EQ(again.patches, c.patches);
  EXPECT_EQ(c.Text().find("\"patches\""), c.Text().find('"'));  // the list comes first
  // A missing file is no error and reads nothing.
  bool exists = true;
  EXPECT_TRUE(again.Load((Dir() / "none.json").string(), &exists, &error));
  EXPECT_FALSE(exists);
  EXPECT_EQ(again.patches.size(), 1u);
}

TEST_F(CompositionFile, MalformedListNamesFilePatchAndProblemAndReadsNothing) {
  const std::pair<char const*, char const*> cases[] = {
      {R"({"patches": {}})", R"("patches" is not a list of at least one patch)"},
      {R"({"patches": []})", R"("patches" is not a list of at least one patch)"},
      {R"({"patches": [{"patch": "Kelmar Network"}], "patch": "Kelmar Network"})",
       R"(holds both "patch" and "patches")"},
      {R"({"patches": [5]})",
       R"(patch 1 (patches[0]): not a "Kelmar Network" patch (its "patch" field)"},
      {R"({"patches": [{"patch": "Kelmar Network"}, {"patch": "Other"}]})",
       R"(patch 2 (patches[1]): not a "Kelmar Network" patch)"},
      {R"({"patches": [{"patch": "Kelmar Network"}, {"patch": "Kelmar Network",
                        "settings": [1]}]})",
       R"(patch 2 (patches[1]): "settings" is not an object)"},
      {R"({"patches": [{"patch": "Kelmar Network", "inputs": {"In1": "0.5"}}]})",
       R"(patch 1 (patches[0]): "inputs.In1" is not a number)"},
      {R"({"patches": [{"patch": "Kelmar Network", "olaIn": -1}]})",
       R"(patch 1 (patches[0]): "olaIn" is not a universe number 0..4294967295: -1)"},
      {R"({"patches": [{"patch": "Kelmar Network"}, {"patch": "Kelmar Network"},
                       {"patch": "Kelmar Network", "olaOut": 1.5}]})",
       R"(patch 3 (patches[2]): "olaOut" is not a universe number 0..4294967295: 1.5)"},
      {R"({"patches": [{"patch": "Kelmar Network", "olaOut": 1.0}]})", R"("olaOut" is not a)"},
      {R"({"patches": [{"patch": "Kelmar Network", "olaOut": "2"}]})", R"("olaOut" is not a)"},
      {R"({"patches": [{"patch": "Kelmar Network", "olaIn": 4294967296}]})",
       R"("olaIn" is not a universe number 0..4294967295: 4294967296)"},
      {R"({"patches": [{"patch": "Kelmar Network", "olaIn": null}]})", R"("olaIn" is not a)"},
      {R"({"patch": "Kelmar Network", "olaIn": true})",
       R"(': "olaIn" is not a universe number)"},  // the single form has no index
      {R"({"patch": "Other"})", R"(not a "Kelmar Network" composition)"},
      {R"({"patch": 5, "settings": {"inBase": 5}})", R"(not a "Kelmar Network")"},
      {R"({"patch": null})", R"(not a "Kelmar Network")"},
      {R"({"patch": ["Kelmar Network"]})", R"(not a "Kelmar Network")"},
      {R"("Kelmar Network")", R"(not a "Kelmar Network")"},
      {R"({"patches": [)", "not valid JSON"},
  };
  for (auto const& [text, problem] : cases) {
    SCOPED_TRACE(text);
    std::string const path = Write("c.json", text);
    CComposition c = TwoPatches();
    bool exists = false;
    std::string error;
    EXPECT_FALSE(c.Load(path, &exists, &error));
    EXPECT_TRUE(exists);
    EXPECT_TRUE(error.starts_with("composition file '" + path + "': ")) << error;
    EXPECT_NE(error.find(problem), std::string::npos) << error;
    EXPECT_EQ(c.patches, TwoPatches().patches) << "a failed load changes nothing";
  }
}

// What the host saves of a patch, and what it gives back on load.
TEST(PatchRecord, RestoresIntoAPlugInAndCapturesItBack) {
  SPatchRecord record;
  record.settings = {{"udpPort", 40002}, {"inBase", 5}, {"inChannels", 3}, {"outBase", 600}};
  record.inputs = {{"In5", 0.5}, {"In99", 0.25}};
  record.olaIn = 4;
  QcKelmarPlugIn plugIn;
  record.Restore(plugIn);
  EXPECT_EQ(QCIntValue(plugIn.udpPort()), 40002);
  EXPECT_EQ(QCIntValue(plugIn.outBase()), 512) << "corrected to its bounds";
  EXPECT_EQ(QCDoubleValue(plugIn.valueForInputKey("In5")), 0.5);
  plugIn.setValueForInputKey(1.0, "In6");

  record.Capture(plugIn);
  EXPECT_EQ(record.settings, (std::map<std::string, double>{{"udpPort", 40002},
                                                            {"inBase", 5},
                                                            {"inChannels", 3},
                                                            {"outBase", 512},
                                                            {"outChannels", 12}}));
  // Ports that no longer exist keep their values: a later range may bring them back.
  EXPECT_EQ(record.inputs, (std::map<std::string, double>{
                               {"In5", 0.5}, {"In6", 1.0}, {"In7", 0.0}, {"In99", 0.25}}));
  EXPECT_EQ(record.olaIn, 4u) << "the universes are the host's, not the plug-in's";
}

}  // namespace
