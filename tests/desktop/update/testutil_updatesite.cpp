#include "testutil_updatesite.h"

namespace {
const char kServer[] = R"PY(
import http.server, os, ssl, sys, time
root, cert, key = sys.argv[1], sys.argv[2], sys.argv[3]
class H(http.server.BaseHTTPRequestHandler):
    def log_message(self, *a): pass
    def do_GET(self):
        path = self.path.split('?')[0]
        mode, name = 'plain', path.lstrip('/')
        for m in ('stall', 'trunc', 'empty'):
            if name.startswith(m + '/'):
                mode, name = m, name[len(m) + 1:]
        name = name.replace('files/', '', 1)
        full = os.path.join(root, os.path.basename(name))
        if not os.path.isfile(full):
            self.send_response(404); self.send_header('Content-Length', '0'); self.end_headers(); return
        data = open(full, 'rb').read()
        self.send_response(200)
        if mode == 'empty':
            self.send_header('Content-Length', '0'); self.end_headers(); return
        self.send_header('Content-Length', str(len(data))); self.end_headers()
        if mode == 'stall':
            self.wfile.write(data[:10]); self.wfile.flush(); time.sleep(60); return
        if mode == 'trunc':
            self.wfile.write(data[:len(data) // 2]); self.wfile.flush(); self.close_connection = True; return
        self.wfile.write(data)
s = http.server.ThreadingHTTPServer(('127.0.0.1', 0), H)
s.daemon_threads = True
if cert:
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER); ctx.load_cert_chain(cert, key)
    s.socket = ctx.wrap_socket(s.socket, server_side=True)
print(s.server_address[1], flush=True)
s.serve_forever()
)PY";
}

bool UpdateSite_Test::start(const QString& root, const QString& certFile, const QString& keyFile)
{
    m_process.start(QStringLiteral("python3"), {QStringLiteral("-c"), QString::fromLatin1(kServer), root, certFile, keyFile});
    if (!m_process.waitForStarted(10000) || !m_process.waitForReadyRead(10000))
        return false;
    const int port = m_process.readLine().trimmed().toInt();
    if (port <= 0)
        return false;
    m_base = QStringLiteral("%1://127.0.0.1:%2").arg(certFile.isEmpty() ? QStringLiteral("http") : QStringLiteral("https")).arg(port);
    return true;
}

UpdateSite_Test::~UpdateSite_Test()
{
    m_process.kill();
    m_process.waitForFinished(3000);
}

bool makeLoopbackCertificate(const QString& dir, QString* certFile, QString* keyFile)
{
    *certFile = dir + QStringLiteral("/cert.pem");
    *keyFile = dir + QStringLiteral("/key.pem");
    QProcess p;
    p.start(QStringLiteral("openssl"), {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                                        QStringLiteral("rsa:2048"), QStringLiteral("-nodes"), QStringLiteral("-days"),
                                        QStringLiteral("2"), QStringLiteral("-subj"), QStringLiteral("/CN=127.0.0.1"),
                                        QStringLiteral("-addext"), QStringLiteral("subjectAltName=IP:127.0.0.1"),
                                        QStringLiteral("-keyout"), *keyFile, QStringLiteral("-out"), *certFile});
    return p.waitForFinished(30000) && p.exitCode() == 0;
}
