#pragma once

#include <QtGlobal>

// The codec state of one SIP leg: an encoder and a decoder handle for the leg's audio payload
// type (GSM 06.10 for 3, G.722 for 9, none for G.711). Owned by the leg and used only by the
// thread of its conversation. Releases its handles when destroyed or set up again, so a leg
// that is renegotiated (re-INVITE) or ends leaves nothing behind.
class AudioCodecState
{
public:
    AudioCodecState() = default;
    explicit AudioCodecState(quint8 payload);
    ~AudioCodecState();

    AudioCodecState(const AudioCodecState &) = delete;
    AudioCodecState &operator=(const AudioCodecState &) = delete;
    AudioCodecState(AudioCodecState &&other) noexcept;
    AudioCodecState &operator=(AudioCodecState &&other) noexcept;

    // Releases the current handles, then creates those the payload type needs. False when
    // the library could not create them (both handles stay null then).
    bool create(quint8 payload);
    // Frees both handles (each only when set) and sets them to null.
    void release();

    // The payload type the handles were made for; 255 when there are none.
    quint8 payload() const { return m_payload; }
    // Opaque library handles; null for G.711 and before create().
    void *encoder() const { return m_encoder; }
    void *decoder() const { return m_decoder; }

private:
    void *m_encoder = nullptr;
    void *m_decoder = nullptr;
    quint8 m_payload = 255;
};
