// Fake device for download tests: bootloader and flash loader over a link pair.
#include "fake_device.h"

#include "csp.h"
#include "images.h"
#include "rmc.h"
#include "root.h"

#include <algorithm>

namespace {

// The host's byte channel: the raw side 0 of the pair.
int32_t host_receive_nw(void* p_uart) {
    return LinkPair_receive_nw(static_cast<LinkPair*>(p_uart), 0);
}

int32_t host_send_byte(void* p_uart, int32_t ch) {
    LinkPair_put(static_cast<LinkPair*>(p_uart), 0, ch & 0xFF);
    return ch & 0xFF;
}

int32_t host_send_with_dle(void* p_uart, int32_t n, const uint8_t* p_bytes) {
    auto* lp = static_cast<LinkPair*>(p_uart);
    for (int32_t i = 0; i < n; i++) {
        LinkPair_put(lp, 0, p_bytes[i]);
        if (p_bytes[i] == CO3964_DLE) LinkPair_put(lp, 0, CO3964_DLE);
    }
    return CO3964_NO_BYTE;
}

bool range_inside(uint32_t a, uint32_t n, uint32_t a_region, uint32_t n_region) {
    return a >= a_region &&
           static_cast<uint64_t>(a) + n <= static_cast<uint64_t>(a_region) + n_region;
}

} // namespace

FakeDevice::FakeDevice() : ram_(FAKE_N_RAM, 0), flash_(FAKE_N_FLASH, 0) {
    LinkPairCfg cfg = LinkPair_default_cfg();
    cfg.side[0].is_raw = 1;
    lp_ = LinkPair_alloc(&cfg);
    RmcSlave_init(&slave_, LinkPair_get_co(lp_, 1));
    LinkPair_set_peer(lp_, peer, this);
    LinkPair_install_csp(lp_, 0);
}

FakeDevice::~FakeDevice() {
    Root* p_root = get_p_root();
    if (p_root && p_root->cb_pump == pump && p_root->p_pump == this)
        Root_set_cb_pump(p_root, nullptr, nullptr);
    LinkPair_free(lp_);
}

void FakeDevice::attach(Root* p_root) {
    Co3964_init(&p_root->co, nullptr, loc_get_t_now, loc_plus_ms, loc_sleep_ms, lp_,
                host_receive_nw, host_send_byte, host_send_with_dle, ROOT_N_LINK_BUF,
                p_root->co_ib_p_buf, ROOT_N_LINK_BUF, p_root->co_ob_p_buf, 1, 1);
    Root_set_cb_pump(p_root, pump, this);
    set_p_root(p_root);
}

void FakeDevice::fail_nth(int fc, int nth, int code) {
    faults_.push_back({fc, nth, code});
}

void FakeDevice::silent_after(int n) {
    n_silent_after_ = n;
}

int FakeDevice::count(int fc) const {
    return static_cast<int>(std::count_if(requests_.begin(), requests_.end(),
                                          [fc](const FakeDeviceRequest& r) { return r.fc == fc; }));
}

int32_t FakeDevice::pump(void* p_user) {
    auto* d = static_cast<FakeDevice*>(p_user);
    if (d->on_pump) d->on_pump();
    // The window's pass takes a moment of line time, in which the device works.
    Csp_sleep_ms(1);
    return 1;
}

void FakeDevice::peer(void* p_user, LinkPair* p, int) {
    auto* d = static_cast<FakeDevice*>(p_user);
    Co3964* p_co = LinkPair_get_co(p, 1);
    if (Co3964_ib_get_n_msg(p_co) < 0 || RmcSlave_is_sending(&d->slave_)) return;
    int32_t n = Co3964_ib_get_msg(p_co, RMC_SLAVE_M_MSG, d->slave_.req);
    if (n <= 0) return;
    d->slave_.n_req = n;
    FakeDeviceRequest req;
    req.fc = d->slave_.req[0];
    req.a_mem = RmcSlave_get_arg(&d->slave_, 0);
    req.n_bytes = RmcSlave_get_arg(&d->slave_, 1);
    if ((req.fc == RMC_FC_WRITE_XBRAM || req.fc == RMC_FC_WRITE_FLASH) && n > 9)
        req.data.assign(d->slave_.req + 9, d->slave_.req + n);
    d->requests_.push_back(req);
    if (d->on_request) d->on_request(*d, req);
    d->handle(req);
}

void FakeDevice::handle(const FakeDeviceRequest& req) {
    if (mode_ == MODE_CRASHED) return;
    if (n_silent_after_ >= 0 && static_cast<int>(requests_.size()) > n_silent_after_) return;
    const int nth = count(req.fc);
    for (const Fault& f : faults_) {
        if (f.fc != req.fc || f.nth != nth) continue;
        if (f.code != FAKE_SILENT) RmcSlave_send_exception(&slave_, f.code);
        return;
    }
    int code = answer(req);
    if (code == RMC_RES_OK) {
        RmcSlave_reply_begin(&slave_, -1);
        RmcSlave_reply_send(&slave_);
    } else {
        RmcSlave_send_exception(&slave_, code);
    }
}

bool FakeDevice::loader_in_ram() const {
    for (int32_t k = 0; k < fld_02_get_n_set(); k++) {
        uint32_t a = fld_02_get_p_set_a_bytes()[k];
        uint32_t n = fld_02_get_p_set_n_bytes()[k];
        if (!range_inside(a, n, FAKE_A_RAM, FAKE_N_RAM)) return false;
        const uint8_t* p = fld_02_get_p_set_p_bytes()[k];
        if (!std::equal(p, p + n, ram_.begin() + (a - FAKE_A_RAM))) return false;
    }
    return true;
}

// The device's verdict on a request: 0 to answer normally, else the exception code.
int FakeDevice::answer(const FakeDeviceRequest& req) {
    switch (req.fc) {
    case RMC_FC_ACTIVATE_BOOTLOADER:
        mode_ = MODE_BOOTLOADER;
        return RMC_RES_OK;
    case RMC_FC_WRITE_XBRAM:
        if (mode_ != MODE_BOOTLOADER) return RMC_RES_ILL_FC;
        if (!range_inside(req.a_mem, req.n_bytes, FAKE_A_RAM, FAKE_N_RAM))
            return RMC_RES_ILL_DATA_ADR;
        if (req.data.size() != req.n_bytes) return RMC_RES_ILL_DATA_VAL;
        std::copy(req.data.begin(), req.data.end(), ram_.begin() + (req.a_mem - FAKE_A_RAM));
        return RMC_RES_OK;
    case RMC_FC_JUMP:
        if (mode_ != MODE_BOOTLOADER) return RMC_RES_ILL_FC;
        // The reply goes out before the jump; a jump into anything but the
        // flash loader leaves a device that answers nothing more.
        mode_ = req.a_mem == FAKE_A_RAM && loader_in_ram() ? MODE_FLASH_LOADER : MODE_CRASHED;
        return RMC_RES_OK;
    case RMC_FC_ERASE_APPL:
        if (mode_ != MODE_FLASH_LOADER) return RMC_RES_ILL_FC;
        std::fill(flash_.begin(), flash_.end(), 0xFF);
        return RMC_RES_OK;
    case RMC_FC_BLANK_CHECK_APPL:
        if (mode_ != MODE_FLASH_LOADER) return RMC_RES_ILL_FC;
        return std::all_of(flash_.begin(), flash_.end(), [](uint8_t b) { return b == 0xFF; })
                   ? RMC_RES_OK
                   : RMC_RES_DEV_FAIL;
    case RMC_FC_WRITE_FLASH: {
        if (mode_ != MODE_FLASH_LOADER) return RMC_RES_ILL_FC;
        if (!range_inside(req.a_mem, req.n_bytes, FAKE_A_FLASH, FAKE_N_FLASH))
            return RMC_RES_ILL_DATA_ADR;
        if (req.data.size() != req.n_bytes) return RMC_RES_ILL_DATA_VAL;
        auto it = flash_.begin() + (req.a_mem - FAKE_A_FLASH);
        for (size_t i = 0; i < req.data.size(); i++)
            if ((it[i] & req.data[i]) != req.data[i]) return RMC_RES_ILL_DATA_VAL;
        for (size_t i = 0; i < req.data.size(); i++)
            it[i] &= req.data[i];
        last_flash_a_ = req.a_mem;
        last_flash_n_ = req.n_bytes;
        return RMC_RES_OK;
    }
    case RMC_FC_START_APPL:
        if (mode_ != MODE_FLASH_LOADER) return RMC_RES_ILL_FC;
        if (flash_[0x10] != 0x47) return RMC_RES_DEV_FAIL;
        mode_ = MODE_APPL;
        return RMC_RES_OK;
    default:
        return RMC_RES_ILL_FC;
    }
}
