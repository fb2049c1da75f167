// Masking of addresses, ids and names in the report's texts.
#include "host/report/mask.h"

#include <gtest/gtest.h>

#include "common/text.h"
#include "platform/codepage.h"

namespace sorvane::hostreport {
namespace {

TEST(Mask, AddressesAndIdsInEveryFormTheLogsWrite) {
    struct Case {
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        {"Sunucu 192.168.1.23 ve 10.0.0.7", "Sunucu 192.168.*.* ve 10.0.*.*"},
        {"192.168.001.023", "192.168.*.*"},
        {"baglanti: 192.168.1.23:47000\n[10.1.2.3]:5\n172.16.5.4", "baglanti: 192.168.*.*:47000\n[10.1.*.*]:5\n172.16.*.*"},
        {"bekleniyor...192.168.1.5, ip=10.9.8.7,100.64.1.2", "bekleniyor...192.168.*.*, ip=10.9.*.*,100.64.*.*"},
        {"surum 0.1.14.2.5 ve 1.2.3.4.5", "surum 0.1.14.2.5 ve 1.2.3.4.5"},
        {"300.1.2.3 1.2.3.4567 1.2.3", "300.1.2.3 1.2.3.4567 1.2.3"},
        {"fe80::1c2b:3d4e:5f60:7a8b%12", "[ag-adresi-maskeli]%12"},
        {"[2001:db8::7]:47000 at 12:34:56", "[[ag-adresi-maskeli]]:47000 at 12:34:56"},
        {"2001:0db8:85a3:0000:0000:8a2e:0370:7334", "[ag-adresi-maskeli]"},
        {"1:2:3:4:5:6:7:8 ::ffff:192.168.4.5", "[ag-adresi-maskeli] [ag-adresi-maskeli].168.*.*"},
        {"AA-BB-CC-DD-EE-FF 00:11:22:33:44:55", "[mac-maskeli] [mac-maskeli]"},
        {"host=3f2504e0-4f89-11d3-9a0c-0305e82c3301&", "host=[kimlik-maskeli]&"},
        {"fp=" "0123456789abcdef0123456789abcdef0123456789abcdef0123456789ABCDEF" "&token="
         "00112233445566778899aabbccddeeff",
         "fp=[parmak-izi-maskeli]&token=[belirtec-maskeli]"},
        {"thumbprint 0123456789ABCDEF0123456789ABCDEF01234567 x0badc0de",
         "thumbprint [onaltilik-maskeli] x0badc0de"},
        // A token freed a dotted address that its digits shielded.
        {"1.2.3.4.00112233445566778899aabbccddeeff", "1.2.*.*.[belirtec-maskeli]"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(mask_report_text(c.in, "", ""), c.out) << c.in;
    }
}

TEST(Mask, NamesWholeInEveryEncodingTheyAppearIn) {
    // "Şükrü" and "GÜLŞEN-PC" (UTF-8), in other cases, code pages and a URI.
    const std::string user = "\xC5\x9E\xC3\xBCkr\xC3\xBC";
    const std::string computer = "G\xC3\x9CL\xC5\x9E" "EN-PC";
    MaskIdentities who;
    who.computers = {computer};
    who.users = {user, "sukru.home"};
    struct Case {
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"C:\\Users\\" + user + "\\AppData", "C:\\Users\\<kullanici>\\AppData"},
        {"\xC5\x9F\xC3\xBCKR\xC3\x9C ve " + platform::utf8_to_oem(user, 1254) + " ve " +
             platform::utf8_to_oem(user, 857),
         "<kullanici> ve <kullanici> ve <kullanici>"},
        {"name=G%C3%9CL%C5%9EEN-PC&x g\xC3\xBCl\xC5\x9F" "en-pc", "name=<bilgisayar>&x <bilgisayar>"},
        {"/home/SUKRU.HOME/x", "/home/<kullanici>/x"},
        // Next to letters of another script, and glued to an address.
        {"\xE6\x97\xA5" + user + "\xE6\x97\xA5 " + computer + "fe80::1", "\xE6\x97\xA5<kullanici>\xE6\x97\xA5 <bilgisayar>[ag-adresi-maskeli]"},
    };
    for (const Case& c : cases) {
        const std::string masked = mask_report_text(c.in, who);
        EXPECT_EQ(masked, c.out) << c.in;
        if (is_valid_utf8(c.in)) {
            EXPECT_TRUE(is_valid_utf8(masked)) << c.in;
        }
    }
    // "€ab" in code page 1252 is 80 61 62: inside the UTF-8 of "Āab" (C4 80 61 62)
    // it is no name, and replacing it would cut the sequence.
    const std::string text = "\xC4\x80" "ab";
    EXPECT_EQ(mask_report_text(text, "", "\xE2\x82\xAC" "ab"), text);
    EXPECT_EQ(mask_report_text("\x80" "ab", "", "\xE2\x82\xAC" "ab"), "<kullanici>");

    // Short names stay: a computer called PC, a user of two letters.
    EXPECT_EQ(mask_report_text("PC: C:\\Users\\Demo\\AppData al", "PC", "al"), "PC: C:\\Users\\Demo\\AppData al");
    EXPECT_EQ(mask_report_text("C:\\Users\\Demo\\AppData", "PC", "demo"), "C:\\Users\\<kullanici>\\AppData");
}

TEST(Mask, PairedDevicesByClientIdAndName) {
    MaskIdentities who;
    const std::string long_id = "viewer-" + std::string(200, 'q');
    who.client_ids = {"viewer-3a4b5c6d7e8f9a0b", long_id};
    who.device_names = {"Ay\xC5\x9F" "e'nin Telefonu", "Tab"};
    EXPECT_EQ(mask_report_text("client_id=viewer-3a4b5c6d7e8f9a0b fp=x", who), "client_id=<istemci> fp=x");
    // The log cuts a long peer text and says how much it left out.
    EXPECT_EQ(mask_report_text(peer_text(long_id) + " " + long_id, who), "<istemci>...(+79 bytes) <istemci>");
    EXPECT_EQ(mask_report_text("cihaz \"AY\xC5\x9E" "E'N\xC4\xB0N TELEFONU\" Tab", who), "cihaz \"<cihaz>\" Tab");
}

}  // namespace
}  // namespace sorvane::hostreport
