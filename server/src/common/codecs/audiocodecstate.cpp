#include "common/codecs/audiocodecstate.h"

#include <utility>

#include <spandsp/telephony.h>
// telephony.h must come first: the codec headers use its SPAN_DECLARE.
#include <spandsp/g722.h>
#include <spandsp/gsm0610.h>

namespace {
const quint8 PAYLOAD_GSM = 3;
const quint8 PAYLOAD_G722 = 9;
const int G722_RATE = 64000;
} // namespace

AudioCodecState::AudioCodecState(quint8 payload)
{
    create(payload);
}

AudioCodecState::~AudioCodecState()
{
    release();
}

AudioCodecState::AudioCodecState(AudioCodecState &&other) noexcept
    : m_encoder(std::exchange(other.m_encoder, nullptr))
    , m_decoder(std::exchange(other.m_decoder, nullptr))
    , m_payload(std::exchange(other.m_payload, quint8(255)))
{
}

AudioCodecState &AudioCodecState::operator=(AudioCodecState &&other) noexcept
{
    if (this != &other) {
        release();
        m_encoder = std::exchange(other.m_encoder, nullptr);
        m_decoder = std::exchange(other.m_decoder, nullptr);
        m_payload = std::exchange(other.m_payload, quint8(255));
    }
    return *this;
}

bool AudioCodecState::create(quint8 payload)
{
    release();
    if (payload == PAYLOAD_GSM) {
        m_encoder = gsm0610_init(nullptr, GSM0610_PACKING_VOIP);
        m_decoder = gsm0610_init(nullptr, GSM0610_PACKING_VOIP);
    } else if (payload == PAYLOAD_G722) {
        m_encoder = g722_encode_init(nullptr, G722_RATE, G722_SAMPLE_RATE_8000);
        m_decoder = g722_decode_init(nullptr, G722_RATE, G722_SAMPLE_RATE_8000);
    } else {
        return true;
    }
    m_payload = payload;
    if (m_encoder && m_decoder)
        return true;
    release();
    return false;
}

void AudioCodecState::release()
{
    // The *_release calls of this library only reset a state; *_free also frees it.
    if (m_payload == PAYLOAD_GSM) {
        if (m_encoder)
            gsm0610_free(static_cast<gsm0610_state_t *>(m_encoder));
        if (m_decoder)
            gsm0610_free(static_cast<gsm0610_state_t *>(m_decoder));
    } else if (m_payload == PAYLOAD_G722) {
        if (m_encoder)
            g722_encode_free(static_cast<g722_encode_state_t *>(m_encoder));
        if (m_decoder)
            g722_decode_free(static_cast<g722_decode_state_t *>(m_decoder));
    }
    m_encoder = nullptr;
    m_decoder = nullptr;
    m_payload = 255;
}
