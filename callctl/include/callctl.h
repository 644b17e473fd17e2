/*
 * callctl.h - the call-control library's C interface.
 *
 * One header, one DLL (callctl.dll with its import library libcallctl.dll.a
 * in the Windows tree; a static library of the same name natively).
 *
 * ---------------------------------------------------------------------------
 * Conventions (they hold for every function below)
 * ---------------------------------------------------------------------------
 *  - Calling convention: the compiler's default, cdecl on 32-bit Windows.
 *    Exported names are plain C names without decoration (sipxInitialize,
 *    not _sipxInitialize@36). The listener callback is cdecl too.
 *  - Handles (instance, line, call, conference) are 32-bit unsigned values.
 *    0 is "none"; the library never hands out 0. Handles are not reused
 *    within one process run.
 *  - Every function returns SIPX_RESULT: 0 (SIPX_RESULT_SUCCESS) on success,
 *    one of the nonzero codes below on failure. Output arguments are written
 *    only on success. A 0 or unknown handle gives SIPX_RESULT_INVALID_ARGS
 *    and changes nothing.
 *  - Text is narrow. Text handed to the listener (category 9) is GBK
 *    (code page 936); SIP URIs and user names are ASCII.
 *  - Threads: each instance runs one library thread that owns its socket
 *    and timers and calls the listeners. Every function may be called from
 *    any thread, including from inside a listener. A call takes the
 *    instance's lock for a short time; it never waits for the library
 *    thread or for a listener, so a listener that blocks (a message box)
 *    cannot dead-lock the caller's thread.
 *  - Listeners are never called with the lock held and never after
 *    sipxUnInitialize has returned or after sipxEventListenerRemove has
 *    returned for them (unless the remove was made from inside a callback
 *    on the library thread, where it takes effect for the next event).
 *
 * ---------------------------------------------------------------------------
 * Values left open by the calling program and fixed here
 * ---------------------------------------------------------------------------
 *  Keep-alive kinds (sipxConfigKeepAliveAdd):
 *      0  CRLF: the 4 bytes "\r\n\r\n" as one datagram
 *      1  STUN binding request (RFC 5389, no attributes)
 *      2  SIP OPTIONS request to sip:host:port (any response is fine)
 *  DTMF modes (sipxConfigSetOutboundDTMFMode):
 *      0  in-band tones only
 *      1  RFC 4733 telephone-event only
 *      2  RFC 4733 telephone-event; in-band tones when the peer's answer
 *         offers no telephone-event payload type
 *  Tone ids (sipxCallStartTone): 0-9 the digits, 10 "*", 11 "#".
 *  sipxCallStartTone's last argument: the shortest duration of the tone in
 *      milliseconds. A tone stopped earlier still lasts this long; 0 means
 *      "as long as it is on".
 *  AEC modes: 0 off, 1 suppression, 2 cancellation, 3 cancellation with
 *      aggressive suppression. AGC and noise reduction: 0 off, 1 on.
 *  Energies (sipxAudioGetInputEnergy/OutputEnergy): 0..100, where 0 is
 *      -60 dBFS or quieter and 100 is 0 dBFS, linear in dB in between
 *      (100/60 per dB). dBFS is of the RMS over the last three 20 ms frames,
 *      0 dBFS being the RMS of a full-scale square wave (32767); a
 *      full-scale sine reads 95, a sine of amplitude 8000 about 74. Input:
 *      the microphone as sent (after processing, volume and mute); output:
 *      what the speaker gets (after mute). 0 while no call has audio.
 *      Reading them takes no lock: fine every 50 ms.
 *  Input volume (sipxAudioSetInputVolume): a linear gain of level/100 on
 *      the microphone, 100 = unchanged, 0 = silent; values outside 0..100
 *      (the program passes -1) are clamped.
 *  Registration: Expires 3600 is asked; the line re-registers 60 s before
 *      a granted expiry of more than 120 s, at half of a shorter one, but
 *      never sooner than 5 s after its previous REGISTER (a registrar that
 *      grants 1 s gets one REGISTER every 5 s, not a flood).
 *      A failed registration is retried after 30 s, doubling up to 5 min,
 *      each delay with up to 20 % random jitter added; before each retry
 *      the registrar's host name is looked up again, so a server that
 *      moved is found. A keep-alive to the registrar's address that is
 *      answered again after at least two unanswered ones re-registers at
 *      once, within the 5 s floor (a line waiting for its retry after an
 *      unanswered REGISTER also takes the first answered keep-alive, once
 *      per failure; one refused by the registrar keeps its back-off).
 *      A 480, 500 or 503 with Retry-After waits at least that long (at
 *      most an hour) before the next REGISTER. A registrar that answered
 *      keep-alives and stops (one unanswered for 4 s or half the period,
 *      then a second sent at once unanswered too) makes its registered
 *      lines register again at once with a 16*T1 wait, so an outage is
 *      reported (REGISTER_FAILED) within a minute; calls go on.
 *      Every 2 s a line in use checks the local address that reaches its
 *      registrar; when it changed (another network), the line registers
 *      from the new one at once, and after the registrar's answer its
 *      connected calls send a re-INVITE with the new Contact and c=.
 *      A digest challenge with stale=true is answered again at most twice
 *      in a row; one credential is kept per realm, for at most 4 realms.
 *  Ringing: a call's INVITE that got a provisional response waits for the
 *      answer without a time limit of ours (timer B, 64*T1, runs only before
 *      the first provisional; re-INVITEs keep it). sipxCallDestroy cancels
 *      it; a 2xx that arrives after that (or after a timeout), or from a
 *      second branch of a forked call, is acknowledged and ended with BYE.
 *  Redirects: a 3xx to the INVITE is followed: its SIP Contacts are tried
 *      best q first (a target that fails moves on to the next), none twice
 *      and at most three besides the first; none left gives DISCONNECTED
 *      with the last answer's cause.
 *  re-INVITEs of ours (hold, unhold, session refresh, new address): 481,
 *      408 or no answer end the call (BYE, DISCONNECTED); 491 is retried
 *      after 2.1-4 s, at most twice; a challenge is answered at most twice;
 *      any other refusal leaves the call as it was, and for a hold or unhold
 *      gives SIPX_CALLSTATE_HOLD_FAILED (never HELD). The ACK of a 2xx
 *      carries the credentials of its INVITE.
 *  Session timers (RFC 4028): INVITEs carry "Supported: timer",
 *      Session-Expires 1800 and Min-SE 90; a 422 is answered with its
 *      Min-SE. When the 2xx makes us refresher, a re-INVITE with the
 *      unchanged description goes at half the interval; either way, with no
 *      refresh the call is ended (BYE, SIPX_CAUSE_SESSION_EXPIRED) at the
 *      interval less min(32 s, a third of it). No Session-Expires in the
 *      2xx: no session timer.
 *  The peer's requests in a dialog must come in CSeq order (others get
 *      500). Its offers (re-INVITE, UPDATE) are answered with one m= line
 *      per offered line, other media refused with port 0; an offer without
 *      usable audio gets 488. A re-INVITE without an offer gets ours in the
 *      2xx, and the answer in its ACK is applied. Require: timer is
 *      supported, other Require options get 420.
 *  Media timeout: a connected call that is held by neither side and has
 *      received nothing from the peer's media address (RTP of any kind,
 *      comfort noise, RTCP) for 30 s is ended by the library (BYE,
 *      then DISCONNECTED with SIPX_CAUSE_MEDIA_TIMEOUT); the handle stays
 *      until sipxCallDestroy. A G.729 call whose peer has sent no RTCP gets
 *      four times as long (its peer may suppress silence). Counted from the
 *      answer and from the end of a hold.
 *  Host names (registrar, call targets, keep-alive hosts) given to API
 *      calls are looked up by the calling thread before the instance lock
 *      is taken (from inside a listener only the cache is asked); names that arrive from the network (Contact, Route, SDP
 *      c=) are looked up on a worker thread, and the requests that need
 *      them wait meanwhile. Answers are cached for 5 minutes; after that an
 *      API call is given the expired answer at once while the worker looks
 *      the name up again (only a name never answered is waited for), and a
 *      name that failed is not looked up again for 5 seconds.
 *  Text messages (category 9) are taken only from a line's registrar
 *      (its address and port) and only when addressed to the Contact the
 *      line registered, whose random "rinstance" parameter they must carry;
 *      others get 403.
 *  Refusals: requests outside a dialog (INVITE 486, OPTIONS 200, and the
 *      refusals) are answered without a server transaction, the same
 *      request always with the same To tag; only MESSAGE keeps one, so a
 *      retransmitted notice is not shown twice. At most 256 server
 *      transactions are kept. Offers and answers: payload types outside 0..127 are
 *      ignored, and at most the first 16 formats of the audio line used.
 *
 * ---------------------------------------------------------------------------
 * Media
 * ---------------------------------------------------------------------------
 *  Offer (RFC 3264/4566): audio on an even RTP port from the first media
 *  port upward (RTCP on the next), formats in this order: the codec chosen
 *  with sipxConfigSelectAudioCodecByName when this build has it (G.729,
 *  payload 18 with "annexb=yes", when built with callctl/dsp), then PCMU (0)
 *  and PCMA (8), then telephone-event/8000 as payload 101. From the answer
 *  we send its first format that we have, under its payload number, and
 *  use its telephone-event number for DTMF. G.729 silence suppression
 *  (voice activity detection, SID frames, nothing between them during
 *  silence; the first packet of each talkspurt marked) is used when the
 *  peer's a=fmtp for it does not say "annexb=no" (no fmtp means yes); our
 *  answer to a G.729 offer mirrors its annexb. A received SID is followed
 *  by comfort noise until the next talkspurt, not concealed as loss. A 180/183 with a description
 *  starts the audio before the answer (early media). A re-INVITE from the
 *  peer is answered with the formats of its offer that we have and the
 *  mirrored direction; sipxCallHold stops our audio both ways at once.
 *  SRTP (RFC 3711) with keys in the description (RFC 4568 SDES): an offer
 *  of the peer's with an RTP/SAVP audio line is taken when one of its
 *  a=crypto lines is usable (AES_CM_128_HMAC_SHA1_80 or _32, one 30-byte
 *  inline key without MKI, a lifetime of at least 2^31 or none, session
 *  parameters WSH, FEC_ORDER or optional ones only); the first such
 *  line is answered under its tag with a new random key of ours, other
 *  lines are skipped, and an offer with none gets 488. Such a line is
 *  preferred to an RTP/AVP audio line of the same offer. Our own offers
 *  are RTP/AVP. Once a call's audio is SRTP it stays SRTP: our re-offers
 *  are RTP/SAVP (a new key but the one we send with), the peer's re-offers
 *  without a usable key get 488, and an answer without one ends the call
 *  (BYE, DISCONNECTED with SIPX_CAUSE_REJECTED and sipStatus 488). A new
 *  key of the peer's replaces the session it receives with. RTP and RTCP
 *  are both protected (SRTCP); a packet that fails authentication or is a
 *  replay is dropped (not played, not counted as the peer's audio). Keys
 *  never reach the log.
 *  RTP (RFC 3550): random SSRC, sequence and timestamp start; 20 ms per
 *  packet; RTCP sender/receiver reports with SDES CNAME about every 5 s,
 *  BYE at the end. Packets from another address than the peer's
 *  description, or of a format not negotiated, are dropped. Audio goes to
 *  where the peer's RTP comes from once it arrives (symmetric RTP).
 *  Jitter buffer: adaptive between 20 and 200 ms, starting at 40 ms; it
 *  grows at once over a delay spike and shrinks in quiet frames. Loss is
 *  concealed by the codec: G.711 by pitch-period repetition (spandsp, after
 *  G.711 Appendix I), G.729 by its decoder's frame erasure; a long loss
 *  fades into the background's noise.
 *  Devices: WinMM, 8 kHz mono 16-bit, 20 ms buffers (at most 60 ms queued
 *  for playback); chosen by product name (sipxAudioSetInput/OutputDevice;
 *  unknown or empty = the system default, and so is a name several devices
 *  answer to). A name is GBK; a character GBK lacks may be written
 *  "{U+XXXX}" (its code point in hex), so devices whose names differ only in
 *  such characters are told apart; written as '?' the name still finds its
 *  device while no other reads the same. They open when a call's audio
 *  starts and close when no call has audio. A device that cannot be opened,
 *  fails or goes away (unplugged: silent for 400 ms and no longer there)
 *  during a call is replaced by the default device at once; while none can
 *  be had the call goes on in silence and another try follows every 1 s.
 *  The chosen device, back in the device list, takes over again at its
 *  first frame; the default choice follows a change of the system's
 *  default device (looked at twice a second; Wine 8 shows neither: its
 *  device list and default stay as they were at the first WinMM call,
 *  though a device plugged back opens again under its old name). Names beginning with "file:" (a raw or WAVE file) and "fail:"
 *  (a device failing after N ms) are test devices: they are used only after
 *  sipxConfigEnableTestDevices(instance, 1); otherwise such a name counts
 *  as unknown and the system default device is used.
 *  Tones (sipxCallStartTone): bLocal plays the tone on the speaker at half
 *  level; bRemote sends it as RFC 4733 events (start packet marked, an
 *  update every 20 ms, three end packets, no audio meanwhile) or in-band,
 *  as the DTMF mode says. A new tone ends the previous one.
 *  Recording (sipxCallAudioRecordFileStart): WAVE, PCM 16-bit mono 8 kHz,
 *  the audio sent plus the audio received, at a GBK path; the file is
 *  created new: a path a file already has fails the start with
 *  SIPX_RESULT_FAILURE and that file is left as it is, so no recording is
 *  ever truncated (the caller picks another name). The header's sizes are
 *  rewritten every second of audio, so a crash leaves a playable file.
 *  sipxCallAudioRecordFileStop, the end of the call by the peer,
 *  sipxCallDestroy and sipxUnInitialize each finish it. A folder that does
 *  not exist or a file that cannot be written fails the start with
 *  SIPX_RESULT_FAILURE and nothing else; a call that ended gives
 *  SIPX_RESULT_INVALID_STATE. A second start finishes the first file and
 *  starts the new one; a second start at the running recording's own path
 *  finishes it and fails, as the file is there.
 *  Conferences: each call of a conference is sent the microphone plus the
 *  other calls' audio; the speaker plays every call. sipxConferenceHold
 *  with bBridging 1 keeps the parties talking to each other without the
 *  local user (microphone and speaker out); with 0 every call is held.
 *  AEC, noise reduction and AGC modes are stored per instance and drive the
 *  capture processor of callctl/dsp (echo cancellation for any nonzero AEC
 *  mode) when the build has it; with all three off the microphone passes
 *  untouched.
 *
 * ---------------------------------------------------------------------------
 * Events
 * ---------------------------------------------------------------------------
 * The listener gets (category, pointer to SIPX_EVENT_INFO, user value) and
 * returns nonzero if it handled the event (the library ignores the value).
 * The record is valid only during the call.
 *
 *  category 0, SIPX_EVENT_CATEGORY_CALLSTATE: hCall, hLine, event is a
 *      SIPX_CALLSTATE_* code, cause a SIPX_CAUSE_* code, sipStatus the SIP
 *      status code behind the event when one is (180, 200, 486, ...).
 *  category 1, SIPX_EVENT_CATEGORY_LINESTATE: hLine, event a
 *      SIPX_LINESTATE_* code, cause a SIPX_CAUSE_* code, sipStatus as above.
 *  category 9, SIPX_EVENT_CATEGORY_MESSAGE: a text message (SIP MESSAGE,
 *      text/plain) from the server; hLine the line it arrived for (or 0),
 *      szText the text in GBK, NUL-terminated. In 32-bit builds word 3
 *      (event) holds the same address.
 */
#ifndef CALLCTL_H
#define CALLCTL_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32) && defined(CALLCTL_BUILDING_DLL)
#define SIPXTAPI_API __declspec(dllexport)
#elif defined(_WIN32) && !defined(CALLCTL_STATIC)
#define SIPXTAPI_API __declspec(dllimport)
#else
#define SIPXTAPI_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t SIPX_INST;
typedef uint32_t SIPX_LINE;
typedef uint32_t SIPX_CALL;
typedef uint32_t SIPX_CONF;

typedef enum SIPX_RESULT {
    SIPX_RESULT_SUCCESS = 0,
    SIPX_RESULT_FAILURE = 1,            /* unspecified failure */
    SIPX_RESULT_NOT_IMPLEMENTED = 2,    /* operation exists, not available in this build */
    SIPX_RESULT_OUT_OF_MEMORY = 3,
    SIPX_RESULT_INVALID_ARGS = 4,       /* null pointer, 0 or unknown handle, bad value */
    SIPX_RESULT_BAD_ADDRESS = 5,        /* a URI or host that cannot be used */
    SIPX_RESULT_OUT_OF_RESOURCES = 6,   /* connection limit reached */
    SIPX_RESULT_INVALID_STATE = 7,      /* not allowed in the object's current state */
    SIPX_RESULT_NETWORK_FAILURE = 8,    /* socket could not be opened or bound */
    SIPX_RESULT_BUSY = 9                /* not allowed from inside a listener */
} SIPX_RESULT;

/* Event categories (first listener argument). */
enum {
    SIPX_EVENT_CATEGORY_CALLSTATE = 0,
    SIPX_EVENT_CATEGORY_LINESTATE = 1,
    SIPX_EVENT_CATEGORY_MESSAGE = 9
};

/* Call states (event word 3, category 0). */
enum {
    SIPX_CALLSTATE_DIALTONE = 2000,        /* call created, nothing sent yet */
    SIPX_CALLSTATE_REMOTE_OFFERING = 2500, /* INVITE sent */
    SIPX_CALLSTATE_REMOTE_ALERTING = 3000, /* first 180/183 (sent once per call) */
    SIPX_CALLSTATE_CONNECTED = 4000,       /* 2xx to the INVITE, ACK sent */
    SIPX_CALLSTATE_HELD = 5000,            /* our hold re-INVITE was accepted */
    SIPX_CALLSTATE_HOLD_FAILED = 5500,     /* our hold or unhold re-INVITE was refused (after
                                              its retries): the call goes on as it was */
    SIPX_CALLSTATE_DISCONNECTED = 8000,    /* call over; cause says why */
    SIPX_CALLSTATE_DESTROYED = 9000        /* handle released by sipxCallDestroy */
};

/* Line states (event word 3, category 1). */
enum {
    SIPX_LINESTATE_REGISTERING = 20000,
    SIPX_LINESTATE_REGISTERED = 21000,     /* on becoming registered, not on refreshes */
    SIPX_LINESTATE_UNREGISTERING = 22000,
    SIPX_LINESTATE_UNREGISTERED = 23000,
    SIPX_LINESTATE_REGISTER_FAILED = 24000 /* each failure; a retry follows */
};

/* Causes (event word 4). */
enum {
    SIPX_CAUSE_NORMAL = 0,          /* expected progress */
    SIPX_CAUSE_LOCAL_HANGUP = 1,    /* sipxCallDestroy / sipxUnInitialize ended it */
    SIPX_CAUSE_REMOTE_HANGUP = 2,   /* BYE (or CANCEL) from the peer */
    SIPX_CAUSE_BUSY = 3,            /* 486 or 600 */
    SIPX_CAUSE_REJECTED = 4,        /* any other 4xx-6xx final response */
    SIPX_CAUSE_REDIRECTED = 5,      /* 3xx with no SIP Contact left to try */
    SIPX_CAUSE_NO_RESPONSE = 6,     /* transaction timeout (timer B/F) */
    SIPX_CAUSE_AUTH_FAILED = 7,     /* challenge repeated after our credentials, or none fit */
    SIPX_CAUSE_FORBIDDEN = 8,       /* 403 */
    SIPX_CAUSE_NOT_FOUND = 9,       /* 404 */
    SIPX_CAUSE_NETWORK = 10,        /* could not send (resolution, socket error) */
    SIPX_CAUSE_CANCELLED = 11,      /* 487 after our CANCEL */
    SIPX_CAUSE_MEDIA_TIMEOUT = 12,  /* connected, not held, and nothing from the peer's
                                       media address for the media timeout (30 s): the
                                       library sent BYE */
    SIPX_CAUSE_SESSION_EXPIRED = 13 /* the session interval passed without a refresh
                                       (RFC 4028): the library sent BYE */
};

typedef struct SIPX_EVENT_INFO {
    uint32_t cbSize;    /* word 0: sizeof(SIPX_EVENT_INFO) */
    SIPX_CALL hCall;    /* word 1 */
    SIPX_LINE hLine;    /* word 2 */
    uint32_t event;     /* word 3: state code; category 9: text address in 32-bit builds */
    uint32_t cause;     /* word 4: SIPX_CAUSE_* */
    uint32_t sipStatus; /* word 5: SIP status behind the event, 0 if none */
    const char *szText; /* category 9: GBK text; otherwise NULL */
} SIPX_EVENT_INFO;

typedef int (*SIPX_EVENT_CALLBACK)(int category, void *pInfo, void *pUserData);

/* Options record of sipxCallConnect / sipxConferenceAdd: five 32-bit words.
 * Pass NULL for the defaults (the values shown). */
typedef struct SIPX_CALL_OPTIONS {
    uint32_t cbSize;        /* 20 */
    int32_t bandwidthId;    /* 1: codec default bandwidth (the only value) */
    int32_t sendLocation;   /* 1 or 0: accepted, no effect */
    int32_t rtpTransport;   /* 1: RTP over UDP (the only transport) */
    int32_t reserved;       /* 0 */
} SIPX_CALL_OPTIONS;

/* ---- instance ---------------------------------------------------------- */

/* Creates an instance and starts its library thread.
 * udpPort: the SIP UDP port to bind (0 = any free port, for tests); a port
 *   already in use fails with SIPX_RESULT_NETWORK_FAILURE.
 * tcpPort, tlsPort: -1 (SIP over TCP/TLS is not offered; other values are
 *   accepted and ignored).
 * rtpPortStart: first media port (even); maxConnections: most calls at once
 *   (1..1000); identity: user part of the instance's own contact ("sipx");
 *   bindToAddr: local address, "0.0.0.0" for all; flags: 0 (reserved). */
SIPXTAPI_API SIPX_RESULT sipxInitialize(SIPX_INST *phInst, int udpPort, int tcpPort, int tlsPort,
                                        int rtpPortStart, int maxConnections, const char *identity,
                                        const char *bindToAddr, int flags);

/* Ends all calls (BYE/CANCEL), unregisters registered lines, waits a short
 * while for their answers, stops the library thread and frees the instance.
 * Returns only when no listener can be called any more. bForceShutdown: 1 =
 * do so whatever is in progress (0 is treated the same). Called from inside a
 * listener it fails with SIPX_RESULT_BUSY. */
SIPXTAPI_API SIPX_RESULT sipxUnInitialize(SIPX_INST hInst, int bForceShutdown);

/* ---- configuration ----------------------------------------------------- */

/* User-Agent header value of every request and response. bIncludePlatform:
 * 1 appends " (Windows)" or " (POSIX)". */
SIPXTAPI_API SIPX_RESULT sipxConfigSetUserAgentName(SIPX_INST hInst, const char *szName,
                                                    int bIncludePlatform);
/* 1: ask for rport (RFC 3581) and use the public address learned from
 * responses (received/rport) in the Contact of later requests. */
SIPXTAPI_API SIPX_RESULT sipxConfigEnableRport(SIPX_INST hInst, int bEnable);
/* Sends a keep-alive of the given kind (see above) to remoteIp:remotePort
 * from the SIP socket every periodSec seconds (1..3600), first one at once.
 * contactId: 0 (reserved). Adding the same host/port/kind again changes the
 * period. The host may be a name or a dotted address. */
SIPXTAPI_API SIPX_RESULT sipxConfigKeepAliveAdd(SIPX_INST hInst, int contactId, int type,
                                                const char *remoteIp, int remotePort, int periodSec);
SIPXTAPI_API SIPX_RESULT sipxConfigKeepAliveRemove(SIPX_INST hInst, int contactId, int type,
                                                   const char *remoteIp, int remotePort);
/* Puts the named codec first in offers (when this build has it). Known
 * names: "PCMU", "PCMA", "G729"; an unknown name fails with
 * SIPX_RESULT_INVALID_ARGS. */
SIPXTAPI_API SIPX_RESULT sipxConfigSelectAudioCodecByName(SIPX_INST hInst, const char *szName);
SIPXTAPI_API SIPX_RESULT sipxConfigSetOutboundDTMFMode(SIPX_INST hInst, int mode);

/* Timer settings for tests; every field in milliseconds but the session
 * timer's two (seconds), 0 keeps the value. Defaults: t1 500, t2 4000,
 * t4 5000, registerRetryMin 30000, registerRetryMax 300000, shutdownWait
 * 2000, registerRefreshMin 5000, mediaTimeout 30000, sessionExpires 1800,
 * minSessionExpires 90, streamPing 30000, streamPongWait 10000,
 * streamOpenWait 5000. Records of the older sizes (ending after
 * shutdownWait, mediaTimeout or minSessionExpires) are accepted. */
typedef struct SIPX_TIMER_SETTINGS {
    uint32_t cbSize;
    uint32_t t1;
    uint32_t t2;
    uint32_t t4;
    uint32_t registerRetryMin;
    uint32_t registerRetryMax;
    uint32_t shutdownWait;
    uint32_t registerRefreshMin; /* least time between a REGISTER and its refresh */
    uint32_t mediaTimeout;       /* silence that ends a connected call */
    uint32_t sessionExpires;     /* Session-Expires of our INVITEs (s) */
    uint32_t minSessionExpires;  /* Min-SE of our INVITEs (s) */
    uint32_t streamPing;         /* idle time before a CRLF ping on a connection */
    uint32_t streamPongWait;     /* a ping unanswered this long ends the connection */
    uint32_t streamOpenWait;     /* connecting and the TLS handshake, at most */
} SIPX_TIMER_SETTINGS;
SIPXTAPI_API SIPX_RESULT sipxConfigSetTimers(SIPX_INST hInst, const SIPX_TIMER_SETTINGS *pTimers);

/* For tests: 1 lets the audio device names "file:..." and "fail:..." open
 * test devices (see Media above); 0 (the default) treats them as unknown. */
SIPXTAPI_API SIPX_RESULT sipxConfigEnableTestDevices(SIPX_INST hInst, int bEnable);

/* The local SIP port actually bound (useful after udpPort 0). */
SIPXTAPI_API SIPX_RESULT sipxConfigGetLocalSipUdpPort(SIPX_INST hInst, int *pPort);

/* ---- log --------------------------------------------------------------- */

/* Log levels; each includes those above it. */
#define SIPX_LOG_NONE 0
#define SIPX_LOG_ERROR 1    /* the SIP port cannot be bound */
#define SIPX_LOG_WARNING 2  /* failures: sends, name lookups, requests that time out
                               (no response), registrations that fail, audio
                               devices that cannot be opened or fail (and what
                               replaced them), no free media port */
#define SIPX_LOG_INFO 3     /* instances started and stopped; every line and call
                               state change with its SIP status and cause; the
                               audio devices opened; at the end of each call's
                               audio one summary line: codec, RTP packets sent,
                               received and lost, jitter (ms), the round trip
                               from RTCP when the peer's reports gave one, the
                               devices in use and the device failures during it;
                               with SRTP its suites and the packets dropped */
#define SIPX_LOG_DEBUG 4    /* every SIP message sent and received, whole */

/* One log line: UTF-8 text without a line end. */
typedef void (*SIPX_LOG_CALLBACK)(int level, const char *szLine, void *pUserData);

/* Where the library's log goes; one sink for the whole process (not per
 * instance), set, changed or turned off at any time from any thread.
 *  level: SIPX_LOG_NONE..SIPX_LOG_DEBUG, the most detailed level written.
 *  szFile: a file (GBK path) the log is appended to: UTF-8 text, one line
 *    per entry, "YYYY-MM-DD hh:mm:ss.mmm LEVEL text", flushed entry by entry.
 *  pCallback: instead of a file, called with each line and pUserData. It is
 *    called from the thread doing the work: the library's threads, or the
 *    program's own thread inside an API call, often with a library lock
 *    held. So it must be quick and must not call any function of this
 *    library. Calls never overlap; once sipxConfigSetLogSink has returned,
 *    the previous callback is not running and is not called again.
 * Either szFile or pCallback: both fail with SIPX_RESULT_INVALID_ARGS.
 * Level SIPX_LOG_NONE, or neither a file nor a callback, turns the log off
 * (an open file is closed); while it is off a place that would log costs one
 * atomic load. A file that cannot be opened gives SIPX_RESULT_FAILURE and
 * leaves the sink as it was.
 * A DEBUG message is an entry of several lines: "SIP sent to a.b.c.d:port, N
 * bytes:" (or "SIP received from ...") and each line of the message after
 * "> " (sent) or "< " (received). In Authorization and Proxy-Authorization
 * headers the response= value and any parameter whose name holds "pass" are
 * written as "***"; passwords given to sipxLineAddCredential are never
 * logged; the SRTP keys of a=crypto lines in message bodies are written as
 * "inline:***". Bytes that are not UTF-8 are written as \xNN; control characters
 * (but tab) as \xNN or \uXXXX, and so are the line and paragraph separators
 * and the bidirectional embeddings, overrides and isolates (U+2028, U+2029,
 * U+202A-U+202E, U+2066-U+2069), so no text from outside can forge or hide
 * a line. A log file never grows past 1 MB: it is then renamed to
 * szFile + ".1" (replacing the one before) and a new file is started. */
SIPXTAPI_API SIPX_RESULT sipxConfigSetLogSink(int level, const char *szFile, SIPX_LOG_CALLBACK pCallback,
                                              void *pUserData);

/* ---- listeners --------------------------------------------------------- */

/* Adds a listener. The same (callback, user) pair twice fails. */
SIPXTAPI_API SIPX_RESULT sipxEventListenerAdd(SIPX_INST hInst, SIPX_EVENT_CALLBACK pCallback,
                                              void *pUserData);
/* Removes the (callback, user) pair; a NULL user value removes every
 * registration of the callback. Fails when none matched. */
SIPXTAPI_API SIPX_RESULT sipxEventListenerRemove(SIPX_INST hInst, SIPX_EVENT_CALLBACK pCallback,
                                                 void *pUserData);

/* ---- lines ------------------------------------------------------------- */

/* Adds a line for the identity "sip:user@host[:port]" (optionally as a
 * name-addr). REGISTER goes to host:port (port 5060 when absent).
 * contactId: 0 (reserved). */
SIPXTAPI_API SIPX_RESULT sipxLineAdd(SIPX_INST hInst, const char *szLineUrl, SIPX_LINE *phLine,
                                     int contactId);
/* Credentials for digest challenges; szRealm "" or NULL matches any realm. */
SIPXTAPI_API SIPX_RESULT sipxLineAddCredential(SIPX_LINE hLine, const char *szUserID,
                                               const char *szPasswd, const char *szRealm);
/* 1: register (and keep refreshing); 0: unregister (Expires: 0). */
SIPXTAPI_API SIPX_RESULT sipxLineRegister(SIPX_LINE hLine, int bRegister);
/* Unregisters if needed and releases the line. */
SIPXTAPI_API SIPX_RESULT sipxLineRemove(SIPX_LINE hLine);
/* The ways to the registrar. A line first tries UDP to the port of its
 * identity; when a REGISTER gets no answer within 8*T1 (4 s) it tries TCP
 * 5060, then TLS 5061, then TLS 443 on the same address (TLS verifies the
 * server's certificate against the system's trusted roots and the identity's
 * host name; there is no way to turn that off). The first way that answers
 * carries the line and its calls until the network changes, when the next
 * REGISTER starts again from the first way.
 * sipxLineGetTransport writes the way in use as "udp:14500", "tcp:5060" or
 * "tls:5061" (lower case, NUL-terminated; SIPX_RESULT_FAILURE when the
 * buffer is too small), and *pbProven = 1 once the registrar answered over
 * it. sipxLineSetTransport names a way to try first, in the same form
 * (what worked the last time, for example); NULL or "" forgets it. */
/* The ports of those other ways for lines added after this call: TCP,
 * TLS, TLS again (defaults 5060, 5061, 443); 0 leaves that way out. */
SIPXTAPI_API SIPX_RESULT sipxConfigSetFallbackPorts(SIPX_INST hInst, int tcpPort, int tlsPort, int tlsPortAgain);
SIPXTAPI_API SIPX_RESULT sipxLineGetTransport(SIPX_LINE hLine, char *szBuffer, size_t nBuffer, int *pbProven);
SIPXTAPI_API SIPX_RESULT sipxLineSetTransport(SIPX_LINE hLine, const char *szPath);

/* ---- calls ------------------------------------------------------------- */

SIPXTAPI_API SIPX_RESULT sipxCallCreate(SIPX_INST hInst, SIPX_LINE hLine, SIPX_CALL *phCall);
/* Sends the INVITE. contactId, pDisplay: 0/NULL; bTakeFocus: 1 (the call
 * gets the audio devices); pOptions may be NULL; szCallId NULL = new. */
SIPXTAPI_API SIPX_RESULT sipxCallConnect(SIPX_CALL hCall, const char *szAddress, int contactId,
                                         void *pDisplay, int bTakeFocus,
                                         const SIPX_CALL_OPTIONS *pOptions, const char *szCallId);
/* Puts the call on hold: re-INVITE with a=sendonly (bStopRemoteAudio 1) or
 * a=inactive (0). Only on a connected call. */
SIPXTAPI_API SIPX_RESULT sipxCallHold(SIPX_CALL hCall, int bStopRemoteAudio);
SIPXTAPI_API SIPX_RESULT sipxCallUnhold(SIPX_CALL hCall);
/* Ends the call (CANCEL before a final answer, BYE after it), releases the
 * handle and sets *phCall to 0. A DISCONNECTED event (if the call was not
 * already over) and a DESTROYED event follow. */
SIPXTAPI_API SIPX_RESULT sipxCallDestroy(SIPX_CALL *phCall);

/* Tones and recording. See the top of the file for the argument meanings. */
SIPXTAPI_API SIPX_RESULT sipxCallStartTone(SIPX_CALL hCall, int toneId, int bLocal, int bRemote,
                                           int minDurationMs);
SIPXTAPI_API SIPX_RESULT sipxCallStopTone(SIPX_CALL hCall);
/* Records both directions to a WAVE file at the GBK path given. */
SIPXTAPI_API SIPX_RESULT sipxCallAudioRecordFileStart(SIPX_CALL hCall, const char *szFile);
SIPXTAPI_API SIPX_RESULT sipxCallAudioRecordFileStop(SIPX_CALL hCall);

/* How the call's received audio sounds since the previous query for the call
 * (since its audio started, the first time); each query starts a new interval.
 * bars is a simplified E-model (ITU-T G.107) of the interval: the mouth-to-ear
 * delay (half the RTCP round trip, the jitter buffer's playout delay, the
 * codec's frame) and the share of audio lost or concealed (loss, and packets
 * that came too late for the jitter buffer), 5 best, 1 worst, 0 while no audio
 * was due in the interval. Set cbSize to sizeof(SIPX_AUDIO_QUALITY).
 * SIPX_RESULT_INVALID_ARGS for a null pointer or a smaller cbSize,
 * SIPX_RESULT_FAILURE for a call without audio. */
typedef struct {
    size_t cbSize;
    int bars;           /* 0, 1..5 */
    int mosTimes10;     /* the E-model's MOS, 10..45; 0 with bars 0 */
    int lostPerMille;   /* of the audio due, lost or concealed */
    int jitterMs;       /* interarrival jitter (RFC 3550) */
    int roundTripMs;    /* from RTCP, -1 while unknown */
    int bufferMs;       /* the jitter buffer's playout delay */
} SIPX_AUDIO_QUALITY;
SIPXTAPI_API SIPX_RESULT sipxCallGetAudioQuality(SIPX_CALL hCall, SIPX_AUDIO_QUALITY *pQuality);

/* ---- audio ------------------------------------------------------------- */

/* Device by product name; NULL or "" = the system default. flags: 0. */
SIPXTAPI_API SIPX_RESULT sipxAudioSetInputDevice(SIPX_INST hInst, const char *szDevice, int flags);
SIPXTAPI_API SIPX_RESULT sipxAudioSetOutputDevice(SIPX_INST hInst, const char *szDevice, int flags);
/* 0..100 (linear gain level/100); values outside are clamped. */
SIPXTAPI_API SIPX_RESULT sipxAudioSetInputVolume(SIPX_INST hInst, int level);
SIPXTAPI_API SIPX_RESULT sipxAudioGetInputVolume(SIPX_INST hInst, int *pLevel);
SIPXTAPI_API SIPX_RESULT sipxAudioMuteInput(SIPX_INST hInst, int bMute);
SIPXTAPI_API SIPX_RESULT sipxAudioMuteOutput(SIPX_INST hInst, int bMute);
/* window: 1 (the only value): the last three 20 ms frames. Scale above. */
SIPXTAPI_API SIPX_RESULT sipxAudioGetInputEnergy(SIPX_INST hInst, int window, double *pEnergy);
SIPXTAPI_API SIPX_RESULT sipxAudioGetOutputEnergy(SIPX_INST hInst, int window, double *pEnergy);
SIPXTAPI_API SIPX_RESULT sipxAudioSetAECMode(SIPX_INST hInst, int mode);
SIPXTAPI_API SIPX_RESULT sipxAudioGetAECMode(SIPX_INST hInst, int *pMode);
SIPXTAPI_API SIPX_RESULT sipxAudioSetAGCMode(SIPX_INST hInst, int bEnable);
SIPXTAPI_API SIPX_RESULT sipxAudioGetAGCMode(SIPX_INST hInst, int *pEnable);
SIPXTAPI_API SIPX_RESULT sipxAudioSetNoiseReductionMode(SIPX_INST hInst, int bEnable);
SIPXTAPI_API SIPX_RESULT sipxAudioGetNoiseReductionMode(SIPX_INST hInst, int *pEnable);

/* ---- conferences ------------------------------------------------------- */

SIPXTAPI_API SIPX_RESULT sipxConferenceCreate(SIPX_INST hInst, SIPX_CONF *phConf);
/* Places a call to szAddress on hLine (as sipxCallConnect does) and joins it
 * to the conference; *phCall receives the call. contactId, pDisplay,
 * pSecurity: accepted and unused; bTakeFocus: 1. */
SIPXTAPI_API SIPX_RESULT sipxConferenceAdd(SIPX_CONF hConf, SIPX_LINE hLine, const char *szAddress,
                                           SIPX_CALL *phCall, int contactId, void *pDisplay,
                                           void *pSecurity, int bTakeFocus,
                                           const SIPX_CALL_OPTIONS *pOptions);
/* bBridging 1: the parties keep hearing each other, the local user is out;
 * 0: every call of the conference is put on hold. */
SIPXTAPI_API SIPX_RESULT sipxConferenceHold(SIPX_CONF hConf, int bBridging);
SIPXTAPI_API SIPX_RESULT sipxConferenceUnhold(SIPX_CONF hConf);
/* Calls currently joined (up to *pCount handles into phCalls); *pCount is set
 * to how many there are. */
SIPXTAPI_API SIPX_RESULT sipxConferenceGetCalls(SIPX_CONF hConf, SIPX_CALL *phCalls, size_t *pCount);
/* Ends every call of the conference and releases it. */
SIPXTAPI_API SIPX_RESULT sipxConferenceDestroy(SIPX_CONF hConf);

#ifdef __cplusplus
}
#endif

#endif /* CALLCTL_H */
