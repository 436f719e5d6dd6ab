// SPDX-License-Identifier: GPL-3.0-or-later
// Sessionless App requests and answers (fiid_obj.h).
#include "fiid_obj.h"

namespace tavik::bmc {

int pack_sessionless_request(std::uint8_t seq, const FiidObj &cmd, std::uint8_t *buf, unsigned len) {
    FiidObj rmcp(tmpl_rmcp_hdr), session(tmpl_lan_session_hdr), msg(tmpl_lan_msg_hdr_rq);
    if (rmcp.obj == nullptr || session.obj == nullptr || msg.obj == nullptr || cmd.obj == nullptr ||
        fill_rmcp_hdr_ipmi(rmcp.obj) < 0 ||
        fill_lan_session_hdr(IPMI_AUTHENTICATION_TYPE_NONE, 0, 0, session.obj) < 0 ||
        fill_lan_msg_hdr(IPMI_SLAVE_ADDRESS_BMC, IPMI_NET_FN_APP_RQ, IPMI_BMC_IPMB_LUN_BMC, seq, msg.obj) <
            0) {
        return -1;
    }
    return assemble_ipmi_lan_pkt(rmcp.obj, session.obj, msg.obj, cmd.obj, nullptr, 0, buf, len,
                                 IPMI_INTERFACE_FLAGS_DEFAULT);
}

bool unpack_sessionless_answer(const std::uint8_t *buf, unsigned len, std::uint8_t seq, const FiidObj &cmd) {
    FiidObj rmcp(tmpl_rmcp_hdr), session(tmpl_lan_session_hdr), msg(tmpl_lan_msg_hdr_rs),
        trlr(tmpl_lan_msg_trlr);
    if (rmcp.obj == nullptr || session.obj == nullptr || msg.obj == nullptr || cmd.obj == nullptr ||
        trlr.obj == nullptr ||
        unassemble_ipmi_lan_pkt(buf, len, rmcp.obj, session.obj, msg.obj, cmd.obj, trlr.obj,
                                IPMI_INTERFACE_FLAGS_DEFAULT) < 0) {
        return false;
    }
    std::uint64_t got_seq = 0, netfn = 0;
    return fiid_obj_get(msg.obj, "rq_seq", &got_seq) == 1 && got_seq == seq &&
           fiid_obj_get(msg.obj, "net_fn", &netfn) == 1 && netfn == IPMI_NET_FN_APP_RS;
}

}  // namespace tavik::bmc
