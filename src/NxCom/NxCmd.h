// One command exchange's object: the request frame, then the reply in the same
// buffer, and the error flag and message that report a failed exchange.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct NxCmdDef;

// Frame: F0, length N, command number, channel, access, N payload bytes,
// 16-bit sum (low byte first) over command..payload. Every F0 after the
// start byte is sent twice.
constexpr uint8_t NX_SOF = 0xF0;
constexpr uint8_t NX_ACCESS_READ = 0x52;  // 'R'
constexpr uint8_t NX_ACCESS_WRITE = 0x57; // 'W'
constexpr size_t NX_FRAME_BUF = 526;
constexpr size_t NX_HEADER = 5; // SOF, length, command, channel, access

class NxCmd
{
public:
    NxCmd();
    NxCmd(uint8_t cmdNr, const char* name, uint8_t channel, uint8_t access, const void* payload,
          size_t n);
    // The command of a table row (NxCmdTable.h) without payload.
    NxCmd(const NxCmdDef& def, uint8_t channel);
    virtual ~NxCmd() = default;
    NxCmd(const NxCmd&) = default;
    NxCmd& operator=(const NxCmd&) = default;

    // Called by Decode after a reply with a correct checksum, also for a rejected one.
    virtual void OnResponse() {}
    // Called by Decode after a checksum mismatch.
    virtual void OnFrameError() {}
    // Called by Execute after a reply without frame error.
    virtual bool IsResponseValid() { return true; }

    void Reset();
    // Builds the logical request frame; n is cut to 255.
    void Setup(uint8_t cmdNr, const char* name, uint8_t channel, uint8_t access,
               const void* payload, size_t n);
    // Setup with the number, name and access byte of a table row; every
    // builder of the command classes goes through here.
    void Setup(const NxCmdDef& def, uint8_t channel, const void* payload, size_t n);
    // Sum of the bytes from the command number to the end of the payload.
    uint16_t Checksum() const;
    // Rewrites the buffer in place with stuffing.
    void Encode();
    // Turns the raw reply (frame length bytes) into the logical frame and checks it.
    void Decode();

    bool IsError() const { return m_bError; }
    // Decode found a sound reply that carries neither the request's command
    // number nor 0: a late answer to an earlier request. It fails like any
    // broken reply, without OnResponse, and Execute reads on past it.
    bool IsStaleReply() const { return m_bStale; }
    const std::string& GetErrMsg() const { return m_ErrMsg; }
    const std::string& GetName() const { return m_Name; }
    uint8_t GetCmdNr() const { return m_Buf[2]; }
    const uint8_t* GetBuffer() const { return m_Buf; }
    uint8_t* GetBuffer() { return m_Buf; }
    uint16_t GetFrameLength() const { return m_nFrameLen; }
    bool IsEncoded() const { return m_bEncoded; }
    void SetFrameLength(uint16_t n) { m_nFrameLen = n; }

    // Payload of the logical frame (request before, reply after an exchange).
    uint8_t PayloadLength() const { return m_Buf[1]; }
    const uint8_t* Payload() const { return m_Buf + NX_HEADER; }

    void SetError(const std::string& msg);
    void ClearError() { m_bError = false; }
    // Raises "'%s' failed: %s" with name and error message when the error flag is set.
    void ThrowIfFailed() const;

private:
    bool m_bEncoded = false;
    uint16_t m_nFrameLen = 0;
    std::string m_ErrMsg;
    bool m_bError = false;
    std::string m_Name;
    uint8_t m_Buf[NX_FRAME_BUF];
    uint8_t m_nReqCmdNr = 0; // the request's number; the buffer's byte is the reply's
    bool m_bStale = false;
};
