// ductra-probe on Linux: every USB device libusb lists, the ones with the
// instrument's ids in detail (where it sits, whether this account may open
// it and why not, its bulk pipes, the kernel driver on their interface), and
// the other devices when none has the ids. Descriptors come from what libusb
// and sysfs already hold; the device node is opened and closed again only to
// learn whether the library could open it.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "probe/probe_report.h"
#include "usbpipe/backend/ductra_discovery.h"

namespace ductra {

namespace {

// The group the udev rule gives the instrument to.
constexpr char kRuleGroup[] = "plugdev";
constexpr char kSysUsb[] = "/sys/bus/usb";

int OpenNode(const char* path) {
    const int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) return errno;
    close(fd);
    return 0;
}

bool HasGroup(const std::vector<gid_t>& groups, gid_t group) {
    return std::find(groups.begin(), groups.end(), group) != groups.end();
}

// The groups the account is listed in, its primary group among them.
std::vector<gid_t> ListedGroups(const std::string& name, gid_t primary) {
    if (name.empty()) return {};
    int count = 64;
    std::vector<gid_t> listed(static_cast<std::size_t>(count));
    if (getgrouplist(name.c_str(), primary, listed.data(), &count) < 0) {
        listed.resize(static_cast<std::size_t>(count));
        if (getgrouplist(name.c_str(), primary, listed.data(), &count) < 0) count = 0;
    }
    listed.resize(static_cast<std::size_t>(std::max(count, 0)));
    return listed;
}

bool ListedIn(const std::vector<gid_t>& listed, const char* group) {
    const struct group* entry = getgrnam(group);
    return entry != nullptr && HasGroup(listed, entry->gr_gid);
}

void ReadAccount(const char* group, ProbeAccount* account) {
    *account = ProbeAccount{};
    const passwd* user = getpwuid(getuid());
    std::string name = user != nullptr ? user->pw_name : "";
    const gid_t primary = user != nullptr ? user->pw_gid : getgid();
    std::snprintf(account->name, sizeof(account->name), "%s", name.c_str());
    const std::vector<gid_t> listed = ListedGroups(name, primary);
    // The groups a stock sudoers file admits; a machine set up otherwise may
    // still allow sudo, and the report then offers the root way as well.
    const bool has_sudo = access("/usr/bin/sudo", X_OK) == 0 || access("/bin/sudo", X_OK) == 0;
    account->sudo =
        getuid() == 0 || (has_sudo && (ListedIn(listed, "sudo") || ListedIn(listed, "wheel") ||
                                       ListedIn(listed, "admin")));
    const struct group* entry = getgrnam(group);
    if (entry == nullptr) return;
    account->group_exists = true;
    const gid_t wanted = entry->gr_gid;
    account->listed = HasGroup(listed, wanted);
    const int held = getgroups(0, nullptr);
    std::vector<gid_t> session(static_cast<std::size_t>(std::max(held, 0)));
    if (held > 0 && getgroups(held, session.data()) < 0) session.clear();
    account->in_session = HasGroup(session, wanted) || getegid() == wanted;
}

void ReadNode(const char* path, ProbeNode* node) {
    *node = ProbeNode{};
    struct stat status {};
    if (stat(path, &status) != 0) return;
    node->seen = true;
    const struct group* owner = getgrgid(status.st_gid);
    if (owner != nullptr) {
        std::snprintf(node->group, sizeof(node->group), "%s", owner->gr_name);
    } else {
        std::snprintf(node->group, sizeof(node->group), "%u", static_cast<unsigned>(status.st_gid));
    }
    node->mode = static_cast<unsigned>(status.st_mode & 07777);
}

const ProbeHost kRealHost = {OpenNode, ReadNode, "/etc/udev/rules.d/70-ductra.rules",
                             "/lib/udev/rules.d/70-ductra.rules", ReadAccount};
const ProbeHost* Host = &kRealHost;

// The first line of a sysfs attribute of a USB device, at most 255
// characters; "" when it cannot be read (no such attribute, or the device
// has gone). The names come from the device: a control character in them
// shows as '?', so that it cannot steer the technician's terminal.
std::string SysAttribute(const std::string& device, const char* name) {
    const std::string path = std::string(kSysUsb) + "/devices/" + device + "/" + name;
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) return "";
    char line[256] = {};
    const bool read = std::fgets(line, sizeof(line), file) != nullptr;
    std::fclose(file);
    if (!read) return "";
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    }
    return text;
}

// One USB device as the survey saw it.
struct Device {
    libusb_device* handle = nullptr;
    uint16_t vendor = 0;
    uint16_t product = 0;
    int bus = 0;
    std::string port_path = "";  // sysfs name: "1-2.4", "usb1" for a root hub
    std::string node = "";       // /dev/bus/usb/BBB/DDD
    std::string serial = "";     // the USB serial number sysfs holds, or
    bool root_hub = false;
    int descriptor_error = 0;  // libusb's error reading the device descriptor
};

Device Describe(libusb_device* handle, const libusb_device_descriptor& descriptor) {
    Device device{.handle = handle,
                  .vendor = descriptor.idVendor,
                  .product = descriptor.idProduct,
                  .bus = libusb_get_bus_number(handle)};
    uint8_t ports[8];
    const int depth = libusb_get_port_numbers(handle, ports, sizeof(ports));
    device.root_hub = depth <= 0;
    if (device.root_hub) {
        device.port_path = "usb" + std::to_string(device.bus);
    } else {
        device.port_path = std::to_string(device.bus) + "-";
        for (int i = 0; i < depth; ++i) {
            if (i > 0) device.port_path += ".";
            device.port_path += std::to_string(ports[i]);
        }
    }
    char node[32];
    std::snprintf(node, sizeof(node), "/dev/bus/usb/%03d/%03d", device.bus,
                  libusb_get_device_address(handle));
    device.node = node;
    if (!device.root_hub) device.serial = SysAttribute(device.port_path, "serial");
    return device;
}

// ", "product" by "manufacturer"", as far as sysfs has them.
std::string Names(const Device& device) {
    const std::string product = SysAttribute(device.port_path, "product");
    const std::string maker = SysAttribute(device.port_path, "manufacturer");
    std::string names = product.empty() ? "" : "\"" + product + "\"";
    if (!maker.empty()) names += (names.empty() ? "by \"" : " by \"") + maker + "\"";
    return names.empty() ? "" : ", " + names;
}

std::string UsbId(uint16_t vendor, uint16_t product) {
    char text[16];
    std::snprintf(text, sizeof(text), "%04x:%04x", vendor, product);
    return text;
}

std::string ErrnoText(int error) {
    return std::string(std::strerror(error)) + " (errno " + std::to_string(error) + ")";
}

// The kernel driver bound to an interface, from sysfs; "" when none is.
std::string InterfaceDriver(const Device& device, int config, int interface) {
    const std::string link = std::string(kSysUsb) + "/devices/" + device.port_path + ":" +
                             std::to_string(config) + "." + std::to_string(interface) + "/driver";
    char target[256];
    const ssize_t length = readlink(link.c_str(), target, sizeof(target) - 1);
    if (length <= 0) return "";
    target[length] = '\0';
    const char* name = std::strrchr(target, '/');
    return name != nullptr ? name + 1 : target;
}

// What the udev rule in force says about the instrument's ids.
enum class RuleState { kMissing, kUnreadable, kOtherIds, kMatches };
struct Rule {
    RuleState state;
    std::string path;   // the file in force
    std::string ids;    // the USB id it names, if any
    int error;          // kUnreadable: errno
    std::string group;  // kMatches: the group the matching line gives the device, if any
};

// The value a rule line compares an attribute with (ATTR{key}=="value" or
// ATTRS{...}), as written: udev compares it with sysfs's lower-case digits
// as it stands. "" when the line has none.
std::string RuleValue(const std::string& line, const char* key) {
    const std::string prefix = std::string("{") + key + "}==\"";
    const std::size_t at = line.find(prefix);
    if (at == std::string::npos) return "";
    const std::size_t start = at + prefix.size();
    const std::size_t end = line.find('"', start);
    return end == std::string::npos ? "" : line.substr(start, end - start);
}

// The group a rule line assigns (GROUP="name" or GROUP:="name"), or "".
std::string RuleGroup(const std::string& line) {
    for (std::size_t at = line.find("GROUP"); at != std::string::npos;
         at = line.find("GROUP", at + 1)) {
        if (at > 0 && line[at - 1] != ' ' && line[at - 1] != '\t' && line[at - 1] != ',') continue;
        std::size_t start = at + 5;
        if (line.compare(start, 2, ":=") == 0) {
            start += 2;
        } else if (line.compare(start, 1, "=") == 0 && line.compare(start, 2, "==") != 0) {
            start += 1;
        } else {
            continue;
        }
        if (start >= line.size() || line[start] != '"') continue;
        const std::size_t end = line.find('"', start + 1);
        if (end == std::string::npos) return "";
        return line.substr(start + 1, end - start - 1);
    }
    return "";
}

// udev reads the site's file in place of the packaged one of the same name.
Rule ReadRule() {
    const char* path = Host->site_rule;
    if (access(path, F_OK) != 0) path = Host->packaged_rule;
    if (access(path, F_OK) != 0) return {RuleState::kMissing, "", "", 0, ""};
    std::FILE* file = std::fopen(path, "r");
    if (file == nullptr) return {RuleState::kUnreadable, path, "", errno, ""};
    Rule rule{RuleState::kOtherIds, path, "", 0, ""};
    const std::string wanted = UsbId(InstrumentVendorId(), InstrumentProductId());
    char buffer[1024];
    while (rule.state != RuleState::kMatches && std::fgets(buffer, sizeof(buffer), file)) {
        const std::string line(buffer);
        const std::size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') continue;
        const std::string vendor = RuleValue(line, "idVendor");
        const std::string product = RuleValue(line, "idProduct");
        if (vendor.empty() || product.empty()) continue;
        if (rule.ids.empty() || vendor + ":" + product == wanted) rule.ids = vendor + ":" + product;
        if (rule.ids == wanted) {
            rule.state = RuleState::kMatches;
            rule.group = RuleGroup(line);
        }
    }
    std::fclose(file);
    return rule;
}

// The command that installs the rule for the instrument's ids where the site
// keeps its own, and the one that applies it to a device already plugged in.
void SayRuleCommands(bool install) {
    const std::string ids = UsbId(InstrumentVendorId(), InstrumentProductId());
    const std::string vendor = ids.substr(0, 4);
    const std::string product = ids.substr(5);
    if (install) {
        Say("  echo '%s' | sudo tee %s >/dev/null &&\n", DUCTRA_UDEV_RULE_LINE, Host->site_rule);
    }
    Say("  sudo udevadm control --reload-rules && sudo udevadm trigger --action=add "
        "--subsystem-match=usb --attr-match=idVendor=%s --attr-match=idProduct=%s\n",
        vendor.c_str(), product.c_str());
}

// The way without sudo, for a machine where it may not be set up.
void SayRootWay() {
    Say("Without sudo (it may not be set up for this account): run su - , give root's password, "
        "and type the same commands without \"sudo\".\n");
}

// Why the node refused this account, and the one command that mends it.
void DiagnoseRefusal(const Device& device, int error) {
    const Rule rule = ReadRule();
    // The group that should own the node: the one the rule in force gives
    // the instrument, else the packaged rule's.
    const std::string group =
        rule.state == RuleState::kMatches && !rule.group.empty() ? rule.group : kRuleGroup;
    switch (rule.state) {
        case RuleState::kMissing:
            Say("  udev rule: none installed (neither %s nor %s)\n", Host->site_rule,
                Host->packaged_rule);
            break;
        case RuleState::kUnreadable:
            Say("  udev rule: %s cannot be read: %s\n", rule.path.c_str(),
                ErrnoText(rule.error).c_str());
            break;
        case RuleState::kOtherIds:
            Say("  udev rule: %s is for %s, not for this instrument\n", rule.path.c_str(),
                rule.ids.empty() ? "no USB id" : ("USB id " + rule.ids).c_str());
            break;
        case RuleState::kMatches:
            if (rule.group.empty()) {
                Say("  udev rule: %s matches this instrument\n", rule.path.c_str());
            } else {
                Say("  udev rule: %s matches this instrument and gives it to the group %s\n",
                    rule.path.c_str(), rule.group.c_str());
            }
            break;
    }
    ProbeNode node{};
    Host->node(device.node.c_str(), &node);
    if (node.seen) Say("  device node: group %s, mode %04o\n", node.group, node.mode);
    ProbeAccount account{};
    Host->account(group.c_str(), &account);
    const char* name = account.name[0] != '\0' ? account.name : "this account";
    if (!account.group_exists) {
        Say("  account %s: there is no group %s on this system\n", name, group.c_str());
    } else if (!account.listed) {
        Say("  account %s: not a member of %s\n", name, group.c_str());
    } else if (!account.in_session) {
        Say("  account %s: member of %s, but not yet in this login\n", name, group.c_str());
    } else {
        Say("  account %s: member of %s\n", name, group.c_str());
    }

    Say("\n");
    const bool needs_group = account.group_exists && !account.listed;
    bool uses_sudo = true;
    if (rule.state != RuleState::kMatches || !node.seen || group != node.group) {
        if (rule.state != RuleState::kMatches) {
            Say("Next step: install the udev rule for this instrument and apply it:\n");
            SayRuleCommands(true);
        } else {
            Say("Next step: apply the installed udev rule to the instrument (or plug it in "
                "again):\n");
            SayRuleCommands(false);
        }
        // The rule gives the device to the user at the machine's seat; anyone
        // else needs the group as well.
        if (needs_group) {
            Say("If you are not logged in at this machine's own screen and keyboard, also:\n"
                "  sudo adduser %s %s   (then log out and in (or restart))\n",
                name, group.c_str());
        }
    } else if (needs_group) {
        Say("Next step: give the account the group %s, which the rule gives the instrument to, "
            "then log out and in (or restart):\n"
            "  sudo adduser %s %s\n",
            group.c_str(), name, group.c_str());
    } else if (!account.in_session) {
        Say("Next step: the account has the group %s, but this login began before it was given: "
            "log out and in (or restart), then run ductra-probe again.\n",
            group.c_str());
        uses_sudo = false;
    } else {
        Say("Next step: the rule and the group are in place, yet the system refuses (%s): a "
            "container or a security policy may hold the device back; ask the workstation's "
            "administrator.\n",
            ErrnoText(error).c_str());
        uses_sudo = false;
    }
    if (uses_sudo && !account.sudo) SayRootWay();
}

// A device with the instrument's ids, looked at in full; its verdict.
struct Candidate {
    Device device;
    bool has_pair;
    int open_error;
    std::string driver;
};

Candidate Examine(const Device& device, int number, int total) {
    Candidate seen{device, false, 0, ""};
    Say("\nDevice %d of %d with the USB id: bus %d, port path %s, %s\n", number, total, device.bus,
        device.port_path.c_str(), device.node.c_str());
    const std::string names = Names(device);
    if (!names.empty()) Say("  names: %s\n", names.c_str() + 2);
    if (!device.serial.empty()) Say("  USB serial: %s\n", device.serial.c_str());

    libusb_config_descriptor* config = nullptr;
    const int read = libusb_get_active_config_descriptor(device.handle, &config);
    BulkPair pair{};
    int config_value = 0;
    if (read != 0) {
        Say("  pipes: the configuration descriptor cannot be read: %s\n", libusb_strerror(read));
    } else {
        seen.has_pair = FindBulkPair(*config, &pair);
        config_value = config->bConfigurationValue;
        libusb_free_config_descriptor(config);
        if (seen.has_pair) {
            Say("  pipes: interface %d, bulk IN 0x%02x (%d-byte packets), bulk OUT 0x%02x "
                "(%d-byte packets)\n",
                pair.interface_number, pair.in_address, pair.in_packet_size, pair.out_address,
                pair.out_packet_size);
        } else {
            Say("  pipes: no interface with exactly one bulk IN and one bulk OUT endpoint\n");
        }
    }
    if (seen.has_pair) {
        seen.driver = InterfaceDriver(device, config_value, pair.interface_number);
        if (seen.driver.empty()) {
            Say("  kernel driver on interface %d: none\n", pair.interface_number);
        } else if (seen.driver == "usbfs") {
            Say("  kernel driver on interface %d: usbfs, a program holds the interface\n",
                pair.interface_number);
        } else {
            Say("  kernel driver on interface %d: %s (quillon detaches it while it holds the "
                "instrument)\n",
                pair.interface_number, seen.driver.c_str());
        }
    }
    seen.open_error = Host->open_node(device.node.c_str());
    if (seen.open_error == 0) {
        Say("  access: this account can open it\n");
    } else {
        Say("  access: refused: %s\n", ErrnoText(seen.open_error).c_str());
    }
    return seen;
}

Verdict VerdictOf(const Candidate& candidate) {
    if (!candidate.has_pair) return Verdict::kNoPipes;
    switch (candidate.open_error) {
        case 0:
            return candidate.driver == "usbfs" ? Verdict::kInUse : Verdict::kReady;
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return Verdict::kGone;
        default:
            return Verdict::kNotAccessible;
    }
}

bool PlaceholderIds() {
    return InstrumentVendorId() == 0 || InstrumentProductId() == 0;
}

int NoInstrument(const std::vector<Device>& others) {
    Say("\nNo device has the USB id %s.\n",
        UsbId(InstrumentVendorId(), InstrumentProductId()).c_str());
    Say("USB devices present (root hubs left out):%s\n", others.empty() ? " none" : "");
    for (const Device& device : others) {
        const std::string id = device.descriptor_error != 0
                                   ? std::string("descriptor unreadable (") +
                                         libusb_strerror(device.descriptor_error) + ")"
                                   : "USB id " + UsbId(device.vendor, device.product);
        Say("  bus %d, port path %s: %s%s\n", device.bus, device.port_path.c_str(), id.c_str(),
            Names(device).c_str());
    }
    Say("\n");
    if (PlaceholderIds()) {
        Say("Next step: this build looks for the placeholder USB id %s, which no instrument has: "
            "install a package built for the site's instrument (DUCTRA_USB_VENDOR_ID, "
            "DUCTRA_USB_PRODUCT_ID).\n",
            UsbId(InstrumentVendorId(), InstrumentProductId()).c_str());
    } else {
        Say("Next step: plug the instrument in and switch it on. If it is listed above, it has "
            "other ids than this build looks for: install the package built for its ids.\n");
    }
    return Conclude(Verdict::kNoInstrument);
}

int Unreadable(const char* why) {
    Say("\n%s\n\nNext step: run ductra-probe on the workstation the instrument is plugged into "
        "(a container needs the host's /dev/bus/usb and /sys/bus/usb).\n",
        why);
    return Conclude(Verdict::kUsbUnreadable);
}

// Where the list goes in place of the report (null: the report), and how.
OutputSink ListSink = nullptr;
ProbeOutput ListOutput = ProbeOutput::kList;

// With several instruments, or one DUCTRA_DEVICE names: which one quillon
// opens, or that the value names none of them (then the verdict is that of
// no instrument). Null when the report goes on with `chosen`.
bool SayChoice(const std::vector<Candidate>& seen, const Candidate*& chosen) {
    const char* text = std::getenv("DUCTRA_DEVICE");
    DeviceChoice choice;
    std::string error;
    const bool refused = ParseDeviceChoice(text, &choice, &error) != 0;
    chosen = nullptr;
    for (const Candidate& candidate : seen) {
        if (candidate.has_pair && !refused &&
            ChoiceMatches(choice, candidate.device.port_path, candidate.device.serial))
            chosen = &candidate;
    }
    if (refused || (choice.kind != ChoiceKind::kAny && chosen == nullptr)) {
        if (refused) {
            Say("\nDUCTRA_DEVICE=%s is refused: %s.\n", text, error.c_str());
        } else {
            Say("\nDUCTRA_DEVICE=%s names none of these, so quillon finds no instrument. "
                "Attached:\n",
                text);
        }
        for (const Candidate& candidate : seen) {
            Say("  port %s, USB serial %s\n", candidate.device.port_path.c_str(),
                candidate.device.serial.empty() ? "none" : candidate.device.serial.c_str());
        }
        Say("\nNext step: set DUCTRA_DEVICE=port=PORT or DUCTRA_DEVICE=serial=SERIAL to one of "
            "these, or unset it to open the last one.\n");
        return false;
    }
    if (choice.kind != ChoiceKind::kAny) {
        Say("\nquillon opens the one DUCTRA_DEVICE=%s names, at %s.\n", text,
            chosen->device.node.c_str());
    } else if (seen.size() > 1 && chosen != nullptr) {
        Say("\nquillon opens the last of these with bulk pipes, at %s.\n",
            chosen->device.node.c_str());
        Say("To open another, set DUCTRA_DEVICE=port=PORT or DUCTRA_DEVICE=serial=SERIAL with "
            "its port or USB serial above (ductra-probe --list lists them).\n");
    }
    return true;
}

int Survey(libusb_context* context) {
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    if (count < 0) {
        return Unreadable(("The list of USB devices cannot be had: " +
                           std::string(libusb_strerror(static_cast<int>(count))) + ".")
                              .c_str());
    }
    std::vector<Device> matching;
    std::vector<Device> others;
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor descriptor{};
        const int read = libusb_get_device_descriptor(list[i], &descriptor);
        Device device = Describe(list[i], descriptor);
        device.descriptor_error = read;
        if (read == 0 && HasInstrumentIds(descriptor)) {
            matching.push_back(device);
        } else if (!device.root_hub) {
            others.push_back(device);
        }
    }
    int code = 0;
    if (matching.empty() && ListSink != nullptr) {
        code = WriteInstrumentList(ListSink, ListOutput, {});
    } else if (matching.empty()) {
        code = NoInstrument(others);
    } else {
        // The library opens the last device with the ids and a bulk pair.
        std::vector<Candidate> seen;
        const Candidate* chosen = nullptr;
        for (std::size_t i = 0; i < matching.size(); ++i) {
            seen.push_back(
                Examine(matching[i], static_cast<int>(i + 1), static_cast<int>(matching.size())));
        }
        std::vector<ListedInstrument> listed;
        for (const Candidate& candidate : seen) {
            listed.push_back(
                {candidate.device.port_path, candidate.device.serial, VerdictOf(candidate)});
        }
        if (ListSink != nullptr) {
            libusb_free_device_list(list, 1);
            return WriteInstrumentList(ListSink, ListOutput, listed);
        }
        if (!SayChoice(seen, chosen)) {
            libusb_free_device_list(list, 1);
            return Conclude(Verdict::kNoInstrument);
        }
        const Candidate& judged = chosen != nullptr ? *chosen : seen.back();
        const Verdict verdict = VerdictOf(judged);
        if (verdict == Verdict::kNotAccessible &&
            (judged.open_error == EACCES || judged.open_error == EPERM)) {
            DiagnoseRefusal(judged.device, judged.open_error);
        } else {
            SayNextStep(verdict);
        }
        code = Conclude(verdict);
    }
    libusb_free_device_list(list, 1);
    return code;
}

}  // namespace

const ProbeHost& RealProbeHost() {
    return kRealHost;
}

void SetProbeHost(const ProbeHost* host) {
    Host = host != nullptr ? host : &kRealHost;
}

namespace {

void Discard(const char*, std::size_t) {}

int Probe(OutputSink sink) {
    BeginReport(sink);
    Say("Looking for: USB id %s with one bulk IN and one bulk OUT endpoint on one interface\n",
        UsbId(InstrumentVendorId(), InstrumentProductId()).c_str());
    if (access(kSysUsb, F_OK) != 0) {
        return Unreadable(
            "This system shows no USB devices: /sys/bus/usb does not exist (a "
            "container, or a virtual machine without USB).");
    }
    libusb_context* context = nullptr;
    const int started = libusb_init(&context);
    if (started != 0) {
        return Unreadable(
            ("libusb cannot start: " + std::string(libusb_strerror(started)) + ".").c_str());
    }
    const int code = Survey(context);
    libusb_exit(context);
    return code;
}

}  // namespace

int RunProbe(OutputSink sink, ProbeOutput output) {
    // A list is written once every instrument is looked at; the report of
    // the look goes nowhere.
    ListSink = output == ProbeOutput::kReport ? nullptr : sink;
    ListOutput = output;
    const int code = Probe(output == ProbeOutput::kReport ? sink : Discard);
    if (ListSink != nullptr && code == static_cast<int>(Verdict::kUsbUnreadable)) {
        const std::string line = std::string(VerdictText(Verdict::kUsbUnreadable)) + "\n";
        sink(line.data(), line.size());
    }
    ListSink = nullptr;
    return code;
}

}  // namespace ductra
