// Names of device families and models.
#include "protocol/catalogue.h"

#include "terminal/console_io.h"

uint8_t SondeModel = 4;

// The catalogue text of a family and model; nullptr for a model that a
// family with listed models does not know (only the line feed is printed).
const char* CatalogueName(uint8_t family, uint8_t model) {
    switch (family) {
        case 2:
            return " Temperature ";
        case 3:
            return " Circulator ";
        case 4:
            return " Conductivity ";
        case 5:
            return model == 1 ? " Clark DO " : " KDO ";
        case 6:
            return " pH ";
        case 7:
            return " ORP ";
        case FamilyDepth:
            switch (model) {
                case 1:
                    return " Depth 10m ";
                case 2:
                    return " Depth 25m ";
                case 3:
                    return " Depth 100m ";
                case 4:
                    return " Depth 200m ";
                default:
                    return nullptr;
            }
        case 9:
            return " TDG ";
        case 10:
            switch (model) {
                case 1:
                    return " Turbidity ";
                case 2:
                    return " Turbidity/brush ";
                case 3:
                    return " Central Brush ";
                default:
                    return nullptr;
            }
        case FamilyFluorometer:
            switch (model) {
                case 1:
                    return " Chlorophyll a ";
                case 2:
                    return " Rhodamine WT ";
                case 3:
                    return " BLue-Green Algae Fresh ";
                case 4:
                    return " Blue-Green Algae Marine ";
                default:
                    return nullptr;
            }
        case 12:
            return " Chlorine ";
        case 13:
            switch (model) {
                case 1:
                    return " Ammonium/Ammonia ";
                case 2:
                    return " Nitrate ";
                case 3:
                    return " Chloride ";
                default:
                    return nullptr;
            }
        case 14:
            return " Barometric Pressure ";
        case 15:
            return " Central Wiper ";
        case 150:
            return " Clark DO/Conductivity ";
        case 151:
            return " pH/ORP ";
        case 152:
            return " Temperature/Circulator ";
        case 153:
            return " Ammonium/Nitrates ";
        case 200:
            switch (model) {
                case 1:
                    return " USB Com Module ";
                case 2:
                    return " USB/SDI-12 CM ";
                case 3:
                    return " USB/RS232 Modbus CM ";
                case 4:
                    return " USB/RS485 Modbus CM";
                case 5:
                    return " USB/RS232 TTY CM ";
                default:
                    return nullptr;
            }
        case 201:
            switch (model) {
                case 1:
                    return " Vantor LX Model 1 ";
                case 2:
                    return " Vantor LX Model 2 ";
                default:
                    return nullptr;
            }
        case FamilySonde:
            return model == 1 ? " LX4 sonde " : " LX7 sonde ";
        case 203:
            return " Alkaline Battery Module ";
        case 219:
            return " LXCF database ";
        case 255:
            return " Virtual Device ";
        default:
            return " Unknown Device ";
    }
}

void PrintDeviceName(uint8_t family, uint8_t model) {
    const char* name = CatalogueName(family, model);
    if (name != nullptr) ConsolePrint("%s", name);
    if (family == FamilySonde) SondeModel = model == 1 ? 4 : 7;
    ConsolePrint("\n");
}
