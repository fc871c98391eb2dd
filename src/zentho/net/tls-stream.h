#pragma once
// TLS over any stream socket through OpenSSL. Client streams verify the peer:
// the chain against the default trust store (SSL_CERT_FILE and SSL_CERT_DIR
// are honoured) and the certificate against the host name given with
// tls_stream_set_hostname. The handshake runs inside the first read or write.
// Streams belong to one vCPU; contexts may be shared.

#include "zentho/net/socket.h"

namespace zentho::net {

class TLSContext : public Object {
public:
    virtual int set_pass_phrase(const char* pass) = 0;
    // PEM text; 0 or -1 with the OpenSSL reason logged
    virtual int set_cert(const char* cert) = 0;
    virtual int set_pkey(const char* key, const char* pass = nullptr) = 0;
};

enum class SecurityRole { Client = 1, Server = 2 };

// version 0: any TLS version; 1: TLS 1.1; otherwise TLS 1.2. Null on failure.
TLSContext* new_tls_context(const char* cert = nullptr, const char* key = nullptr, const char* pass = nullptr,
                            int version = 0);
ISocketStream* new_tls_stream(TLSContext* ctx, ISocketStream* base, SecurityRole role, bool ownership);
// Every stream it connects is a client TLS stream that owns the connection.
ISocketClient* new_tls_client(TLSContext* ctx, ISocketClient* base, bool ownership);
// Accepted streams are server TLS streams; the handler gets them instead of the plain ones.
ISocketServer* new_tls_server(TLSContext* ctx, ISocketServer* base, bool ownership);
// Sets SNI (for names, not address literals) and the name the certificate must match.
int tls_stream_set_hostname(ISocketStream* stream, const char* host);

}  // namespace zentho::net
