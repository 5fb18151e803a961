#include "tcp/CTCPImpl.h"

#include <cstdio>
#include <memory>

#include "tcp/CTCPClientSocketImpl.h"
#include "tcp/CTCPServerSocket.h"
#include "tcp/CTLSClientSocketImpl.h"
#include "tcp/CTLSContext.h"

CTCPImpl::CTCPImpl() : m_szLastError{} {}

CTCPClientSocket* CTCPImpl::CreateClient() {
    auto socket = std::make_unique<CTCPClientSocketImpl>();
    if (!socket->Initialize()) {
        std::snprintf(m_szLastError, sizeof m_szLastError, "%s", socket->GetLastError());
        m_error = socket->GetLastErrorKind();
        return nullptr;
    }
    return socket.release();
}

CTCPClientSocket* CTCPImpl::CreateTLSClient() {
    auto socket = std::make_unique<CTLSClientSocketImpl>(TLSContext());
    if (!socket->Initialize()) {
        std::snprintf(m_szLastError, sizeof m_szLastError, "%s", socket->GetLastError());
        m_error = socket->GetLastErrorKind();
        return nullptr;
    }
    return socket.release();
}

void CTCPImpl::SetTLSContext(std::shared_ptr<const CTLSContext> context) { m_tlsContext = std::move(context); }

const std::shared_ptr<const CTLSContext>& CTCPImpl::TLSContext() {
    if (!m_tlsContext) m_tlsContext = std::make_shared<const CTLSContext>();
    return m_tlsContext;
}

CTCPServerSocket* CTCPImpl::CreateServer() { return nullptr; }

void CTCPImpl::DestroyClient(CTCPClientSocket* socket) { delete socket; }

void CTCPImpl::DestroyServer(CTCPServerSocket* socket) { delete socket; }

const char* CTCPImpl::GetLastError() const { return m_szLastError; }

CNetError CTCPImpl::GetLastErrorKind() const { return m_error; }

bool CTCPImpl::Initialize() { return true; }

void CTCPImpl::Reset() {}
