#include "core/names.h"

namespace kestrel {

const std::array<std::string_view, 256> IpProtocolNames = {
    "HOPOPT", "ICMP", "IGMP", "GGP", "IP", "ST",
    "TCP", "CBT", "EGP", "IGP", "BBN-RCC-MON", "NVP-II",
    "PUP", "ARGUS", "EMCON", "XNET", "CHAOS", "UDP",
    "MUX", "DCN-MEAS", "HMP", "PRM", "XNS-IDP", "TRUNK-1",
    "TRUNK-2", "LEAF-1", "LEAF-2", "RDP", "IRTP", "ISO-TP4",
    "NETBLT", "MFE-NSP", "MERIT-INP", "SEP", "3PC", "IDPR",
    "XTP", "DDP", "IDPR-CMTP", "TP++", "IL", "IPv6",
    "SDRP", "IPv6-Route", "IPv6-Frag", "IDRP", "RSVP", "GRE",
    "MHRP", "BNA", "ESP", "AH", "I-NLSP", "SWIPE",
    "NARP", "MOBILE", "TLSP", "SKIP", "IPv6-ICMP", "IPv6-NoNxt",
    "IPv6-Opts", "any", "CFTP", "any", "SAT-EXPAK", "KRYPTOLAN",
    "RVD", "IPPC", "any", "SAT-MON", "VISA", "IPCV",
    "CPNX", "CPHB", "WSN", "PVP", "BR-SAT-MON", "SUN-ND",
    "WB-MON", "WB-EXPAK", "ISO-IP", "VMTP", "SECURE-VMTP", "VINES",
    "TTP", "NSFNET-IGP", "DGP", "TCF", "EIGRP", "OSPFIGP",
    "Sprite-RPC", "LARP", "MTP", "AX.25", "IPIP", "MICP",
    "SCC-SP", "ETHERIP", "ENCAP", "any", "GMTP", "IFMP",
    "PNNI", "PIM", "ARIS", "SCPS", "QNX", "A/N",
    "IPComp", "SNP", "Compaq-Peer", "IPX-in-IP", "VRRP", "PGM",
    "any", "L2TP", "DDX", "IATP", "STP", "SRP",
    "UTI", "SMP", "SM", "PTP", "ISIS", "FIRE",
    "CRTP", "CRUDP", "SSCOPMCE", "IPLT", "SPS", "PIPE",
    "SCTP", "FC", "RSVP-E2E-IGNORE", "Mobility", "UDPLite", "MPLS-in-IP",
    "Unassigned", "Unassigned", "Unassigned", "Unassigned", "Unassigned", "Unassigned",
    "Unassigned", "Unassigned", "Unassigned", "Unassigned", "Unassigned", "Unassigned",
    "Unassigned", "Unassigned", "Unassigned", "Unassigned", "Unassigned", "Unassigned",
    "Unassigned", "Unassigned", "Unassigned", "Unassigned", "Unassigned", "Unassigned",
    "Unassigned", "Unassigned", "Unassigned", "Unassigned", "Unassigned", "Unassigned",
    "Unassigned", "Unassigned", "Unassigned", "Unassigned", "Unassigned", "Unassigned",
    "Unassigned", "Unassigned", "Unassigned", "Unassigned", "Unassigned", "Unassigned",
    "Unassigned", "Unassigned", "Unassigned", "Unassigned", "Unassigned", "Unassigned",
    "Unassigned", "Unassigned", "Unassigned", "Unassigned", "Unassigned", "Unassigned",
    "Unassigned", "Unassigned", "Unassigned", "Unassigned", "Unassigned", "Unassigned",
    "Unassigned", "Unassigned", "Unassigned", "Unassigned", "Unassigned", "Unassigned",
    "Unassigned", "Unassigned", "Unassigned", "Unassigned", "Unassigned", "Unassigned",
    "Unassigned", "Unassigned", "Unassigned", "Unassigned", "Unassigned", "Unassigned",
    "Unassigned", "Unassigned", "Unassigned", "Unassigned", "Unassigned", "Unassigned",
    "Unassigned", "Unassigned", "Unassigned", "Unassigned", "Unassigned", "Unassigned",
    "Unassigned", "Unassigned", "Unassigned", "Unassigned", "Unassigned", "Unassigned",
    "Unassigned", "Unassigned", "Unassigned", "Unassigned", "Unassigned", "Unassigned",
    "Unassigned", "Unassigned", "Unassigned", "Unassigned", "Unassigned", "Unassigned",
    "Unassigned", "Unassigned", "Unassigned", "Unassigned", "Unassigned", "Unassigned",
    "Unassigned", "Use", "Use", "Reserved",};

namespace {
constexpr std::array<std::string_view, 255> MakeIcmpTypeNames() {
    std::array<std::string_view, 255> names{};
    names[0] = "ｴｺｰ応答";
    names[3] = "終点到達不能";
    names[4] = "始点制御";
    names[5] = "ﾘﾀﾞｲﾚｸﾄ";
    names[8] = "ｴｺｰ要求";
    names[9] = "ﾙｰﾀｰｱﾄﾞﾊﾞﾀｲｽﾞ";
    names[10] = "ﾙｰﾀｰ選択";
    names[11] = "時間超過";
    names[12] = "ﾊﾟﾗﾒｰﾀｰ異常";
    names[13] = "ﾀｲﾑｽﾀﾝﾌﾟ要求";
    names[14] = "ﾀｲﾑｽﾀﾝﾌﾟ応答";
    names[15] = "情報要求";
    names[16] = "情報応答";
    names[17] = "ｱﾄﾞﾚｽﾏｽｸ要求";
    names[18] = "ｱﾄﾞﾚｽﾏｽｸ応答";
    return names;
}
}  // namespace

const std::array<std::string_view, 255> IcmpTypeNames = MakeIcmpTypeNames();

const std::array<std::string_view, 24> ArpOperationNames = {
    "",
    "REQUEST",
    "REPLY",
    "request Reverse",
    "reply Reverse",
    "DRARP-Request",
    "DRARP-Reply",
    "DRARP-Error",
    "InARP-Request",
    "InARP-Reply",
    "ARP-NAK",
    "MARS-Request",
    "MARS-Multi",
    "MARS-MServ",
    "MARS-Join",
    "MARS-Leave",
    "MARS-NAK",
    "MARS-Unserv",
    "MARS-SJoin",
    "MARS-SLeave",
    "MARS-Grouplist-Request",
    "MARS-Grouplist-Reply",
    "MARS-Redirect-Map",
    "MAPOS-UNARP",
};

const std::array<std::string_view, 8> PrecedenceNames = {
    "000 標準", "001 優先", "010 即時", "011 速報",
    "100 優先速報", "101 重大", "110 ｲﾝﾀｰﾈｯﾄﾜｰｸ制御", "111 ﾈｯﾄﾜｰｸ制御",
};

const std::array<std::string_view, 4> IpOptionClassNames = {
    "0 (ﾈｯﾄﾜｰｸ制御)",
    "1 (予約)",
    "2 (ﾃﾞﾊﾞｯｸﾞと測定)",
    "3 (予約)",
};

}  // namespace kestrel
