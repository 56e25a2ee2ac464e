// The catalogue of the firmware folder: listing, numbering and the choice.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bootloader_fixture.h"
#include "firmware/firmware.h"
#include "firmware/image.h"
#include "support/console_capture.h"
#include "support/scripted_pipe.h"

namespace firmware_test {
namespace {

namespace fs = std::filesystem;

class CatalogueTest : public FirmwareTest {
  protected:
    // Runs the catalogue stage alone; its result, or -1 when the typed
    // answers ran out.
    int Choose(const std::string& input) {
        ConsoleCapture console(input);
        int result = -1;
        try {
            result = ChooseFirmwareImage();
        } catch (const EndOfInputReached&) {
        }
        output = console.Output();
        return result;
    }

    // The "<number> <path>" lines of the listing, in order.
    std::vector<std::string> ListedPaths() const {
        std::vector<std::string> paths;
        std::istringstream lines(output);
        std::string line;
        int expected = 1;
        while (std::getline(lines, line)) {
            const std::string number = std::to_string(expected) + " ";
            if (line.rfind(number, 0) == 0) {
                paths.push_back(line.substr(number.size()));
                ++expected;
            }
        }
        return paths;
    }

    int Prompts() const {
        const std::string prompt = "\nEnter the number of the firmware you want: ";
        int count = 0;
        for (auto at = output.find(prompt); at != std::string::npos;
             at = output.find(prompt, at + 1)) {
            ++count;
        }
        return count;
    }

    std::string output;
};

TEST_F(CatalogueTest, ListsFilesAndSubFoldersAndTakesOnlyANumberInRange) {
    WriteImage("one.bin", 0x0101, 10);
    WriteImage("two.bin", 0x0102, 10);
    WriteImage("three.bin", 0x0103, 10);
    fs::create_directory("firmware/old");
    std::ofstream("firmware/old/inner.bin") << "x";

    ASSERT_EQ(Choose("0\n5\n99\nabc\n3\n"), 0);

    std::vector<std::string> listed = ListedPaths();
    ASSERT_EQ(listed.size(), 4u) << output;
    const std::string third = listed[2];
    std::sort(listed.begin(), listed.end());
    std::vector<std::string> expected{EntryPath("old"), EntryPath("one.bin"),
                                      EntryPath("three.bin"), EntryPath("two.bin")};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listed, expected);
    EXPECT_EQ(output.find("inner.bin"), std::string::npos);

    EXPECT_EQ(Prompts(), 5);
    EXPECT_EQ(std::string(ChosenFirmwarePath), third);
    EXPECT_NE(output.find("THIS PROGRAM WILL NOT CHECK WHAT YOU SELECT!         \n"
                          "*****************************************************\n"
                          "\nEnter the number"),
              std::string::npos);
    const std::string tail = "\nYou chose " + third + " \n";
    EXPECT_EQ(output.substr(output.size() - tail.size()), tail);
}

TEST_F(CatalogueTest, MissingFolderIsReportedAndTheCommandEnds) {
    fs::remove_all("firmware");
    ScriptedPipe::SetResponder(nullptr);
    ConsoleCapture console("\n");
    DownloadFirmware();
    output = console.Output();
    EXPECT_NE(output.find("The firmware folder \"firmware\" cannot be read: "), std::string::npos);
    EXPECT_EQ(output.find("BE VERY CAREFUL"), std::string::npos);
    EXPECT_EQ(output.substr(output.size() - 13), "Press return ");
    EXPECT_TRUE(ScriptedPipe::Sent().empty());
}

TEST_F(CatalogueTest, EmptyFolderIsReportedAndTheCommandEnds) {
    EXPECT_NE(Choose("\n"), 0);
    EXPECT_NE(output.find("The firmware folder \"firmware\" is empty, there is nothing to "
                          "download.\nPress return "),
              std::string::npos);
    EXPECT_EQ(Prompts(), 0);
}

TEST_F(CatalogueTest, ListsAtMostOneHundredFiftyEntries) {
    for (int i = 0; i < 151; ++i) WriteRaw("image" + std::to_string(i) + ".bin", {0, 0, 0, 0});
    ASSERT_EQ(Choose("151\n150\n"), 0);
    const std::vector<std::string> listed = ListedPaths();
    EXPECT_EQ(listed.size(), 150u);
    EXPECT_NE(output.find("\nOnly the first 150 entries of the firmware folder are listed.\n*****"),
              std::string::npos);
    EXPECT_EQ(Prompts(), 2);
    EXPECT_EQ(std::string(ChosenFirmwarePath), listed.back());
}

TEST_F(CatalogueTest, PathTooLongForTheChosenPathIsListedButRefused) {
    const std::size_t folderPart = EntryPath("").size();  // "firmware" and the separator
    const std::string longest(139 - folderPart, 'a');
    const std::string tooLong(140 - folderPart, 'b');
    WriteRaw(longest, {0, 0, 0, 0});
    WriteRaw(tooLong, {0, 0, 0, 0});
    ASSERT_EQ(Choose(""), -1);  // the listing only: no answer is typed
    const std::vector<std::string> listed = ListedPaths();
    ASSERT_EQ(listed.size(), 2u);
    const std::string tooLongNumber = listed[0] == EntryPath(tooLong) ? "1" : "2";
    const std::string fineNumber = tooLongNumber == "1" ? "2" : "1";

    ASSERT_EQ(Choose(tooLongNumber + "\n" + fineNumber + "\n"), 0);
    EXPECT_NE(output.find("That path is longer than 139 characters and cannot be used.\n"
                          "\nEnter the number"),
              std::string::npos)
        << output;
    EXPECT_EQ(std::string(ChosenFirmwarePath), EntryPath(longest));
    EXPECT_EQ(std::string(ChosenFirmwarePath).size(), 139u);
}

TEST_F(CatalogueTest, FolderOfOnlyOverlongPathsEndsTheCommand) {
    WriteRaw(std::string(140, 'c'), {0, 0, 0, 0});
    EXPECT_NE(Choose("\n"), 0);
    EXPECT_NE(output.find("No entry of the firmware folder has a path of 139 characters or "
                          "fewer.\nPress return "),
              std::string::npos)
        << output;
    EXPECT_EQ(Prompts(), 0);
}

// A folder whose one entry has a path one shorter than, as long as, or one
// longer than the chosen path's room (140 bytes with its terminating NUL):
// only the first is offered for choice.
TEST_F(CatalogueTest, OnlyAPathShorterThanTheChosenPathsRoomIsOffered) {
    const std::size_t folderPart = EntryPath("").size();
    for (const std::size_t length :
         {ChosenPathCapacity - 1, ChosenPathCapacity, ChosenPathCapacity + 1}) {
        SCOPED_TRACE(length);
        fs::remove_all("firmware");
        fs::create_directory("firmware");
        const std::string name(length - folderPart, 'd');
        WriteRaw(name, {0, 0, 0, 0});
        const int result = Choose("1\n");
        if (length < ChosenPathCapacity) {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(Prompts(), 1);
            EXPECT_EQ(std::string(ChosenFirmwarePath), EntryPath(name));
        } else {
            EXPECT_EQ(result, 1);
            EXPECT_EQ(Prompts(), 0);
            EXPECT_NE(output.find("\n1 " + EntryPath(name) + "\n"), std::string::npos) << output;
            EXPECT_NE(output.find("No entry of the firmware folder has a path of 139 characters "
                                  "or fewer.\nPress return "),
                      std::string::npos)
                << output;
        }
    }
}

}  // namespace
}  // namespace firmware_test
