// Family and model names, and the sonde model they record.
#include "protocol/catalogue.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "support/console_capture.h"

namespace {

std::string NameOf(int family, int model) {
    ConsoleCapture console;
    PrintDeviceName(static_cast<uint8_t>(family), static_cast<uint8_t>(model));
    return console.Output();
}

class CatalogueTest : public ::testing::Test {
  protected:
    void SetUp() override { SondeModel = 4; }
    void TearDown() override { SondeModel = 4; }
};

TEST_F(CatalogueTest, NamesEveryListedRow) {
    const std::vector<std::tuple<int, int, std::string>> rows = {
        {2, 9, " Temperature "},
        {3, 0, " Circulator "},
        {4, 1, " Conductivity "},
        {5, 1, " Clark DO "},
        {5, 0, " KDO "},
        {5, 2, " KDO "},
        {6, 3, " pH "},
        {7, 1, " ORP "},
        {8, 1, " Depth 10m "},
        {8, 2, " Depth 25m "},
        {8, 3, " Depth 100m "},
        {8, 4, " Depth 200m "},
        {9, 1, " TDG "},
        {10, 1, " Turbidity "},
        {10, 2, " Turbidity/brush "},
        {10, 3, " Central Brush "},
        {11, 1, " Chlorophyll a "},
        {11, 2, " Rhodamine WT "},
        {11, 3, " BLue-Green Algae Fresh "},
        {11, 4, " Blue-Green Algae Marine "},
        {12, 1, " Chlorine "},
        {13, 1, " Ammonium/Ammonia "},
        {13, 2, " Nitrate "},
        {13, 3, " Chloride "},
        {14, 1, " Barometric Pressure "},
        {15, 1, " Central Wiper "},
        {150, 1, " Clark DO/Conductivity "},
        {151, 1, " pH/ORP "},
        {152, 1, " Temperature/Circulator "},
        {153, 1, " Ammonium/Nitrates "},
        {200, 1, " USB Com Module "},
        {200, 2, " USB/SDI-12 CM "},
        {200, 3, " USB/RS232 Modbus CM "},
        {200, 4, " USB/RS485 Modbus CM"},
        {200, 5, " USB/RS232 TTY CM "},
        {201, 1, " Vantor LX Model 1 "},
        {201, 2, " Vantor LX Model 2 "},
        {203, 1, " Alkaline Battery Module "},
        {219, 1, " LXCF database "},
        {255, 1, " Virtual Device "},
    };
    for (const auto& [family, model, text] : rows) {
        EXPECT_EQ(NameOf(family, model), text + "\n") << family << "/" << model;
    }
}

TEST_F(CatalogueTest, FamiliesOutsideTheTableAreUnknown) {
    for (int family : {0, 1, 16, 149, 154, 199, 204, 218, 220, 254}) {
        EXPECT_EQ(NameOf(family, 1), " Unknown Device \n") << family;
    }
}

TEST_F(CatalogueTest, UnlistedModelsOfListingFamiliesPrintOnlyTheLineEnd) {
    for (int family : {8, 10, 11, 13, 200, 201}) {
        EXPECT_EQ(NameOf(family, 0), "\n") << family;
        EXPECT_EQ(NameOf(family, 9), "\n") << family;
    }
    EXPECT_EQ(NameOf(8, 5), "\n");
    EXPECT_EQ(NameOf(201, 3), "\n");
    EXPECT_EQ(NameOf(200, 6), "\n");
}

TEST_F(CatalogueTest, NamingASondeRecordsItsModel) {
    EXPECT_EQ(NameOf(202, 1), " LX4 sonde \n");
    EXPECT_EQ(SondeModel, 4);
    EXPECT_EQ(NameOf(202, 9), " LX7 sonde \n");
    EXPECT_EQ(SondeModel, 7);
    EXPECT_EQ(NameOf(202, 0), " LX7 sonde \n");
    EXPECT_EQ(SondeModel, 7);
    EXPECT_EQ(NameOf(202, 1), " LX4 sonde \n");
    EXPECT_EQ(SondeModel, 4);
}

TEST_F(CatalogueTest, OnlySondesChangeTheSondeModel) {
    ConsoleCapture console;
    SondeModel = 7;
    for (int family = 0; family < 256; ++family) {
        if (family == FamilySonde) continue;
        for (int model : {0, 1, 2, 4, 255}) {
            PrintDeviceName(static_cast<uint8_t>(family), static_cast<uint8_t>(model));
            ASSERT_EQ(SondeModel, 7) << family << "/" << model;
        }
    }
    EXPECT_FALSE(console.Output().empty());
}

}  // namespace
