// velkarn_wss_trustca add|remove < ca.pem: puts the test CA into (or takes it out of)
// the CurrentUser Root store of the Wine prefix, so that WinHTTP trusts the test broker.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  const bool add = argc == 2 && std::strcmp(argv[1], "add") == 0;
  const bool remove = argc == 2 && std::strcmp(argv[1], "remove") == 0;
  if (!add && !remove) {
    std::fprintf(stderr, "usage: velkarn_wss_trustca add|remove < ca.pem\n");
    return 2;
  }
  const std::string pem((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
  DWORD size = 0;
  if (!CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr)) {
    std::fprintf(stderr, "no PEM certificate on stdin\n");
    return 1;
  }
  std::vector<BYTE> der(size);
  CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr);
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
  if (store == nullptr) {
    std::fprintf(stderr, "cannot open the CurrentUser Root store (%lu)\n", GetLastError());
    return 1;
  }
  bool ok = true;
  if (add) {
    ok = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                          CERT_STORE_ADD_REPLACE_EXISTING, nullptr) != FALSE;
  } else {
    PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), size);
    PCCERT_CONTEXT found =
        cert != nullptr ? CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, cert, nullptr)
                        : nullptr;
    if (found != nullptr) ok = CertDeleteCertificateFromStore(found) != FALSE;  // frees found
    if (cert != nullptr) CertFreeCertificateContext(cert);
  }
  if (!ok) std::fprintf(stderr, "%s failed (%lu)\n", add ? "adding the CA" : "removing the CA", GetLastError());
  CertCloseStore(store, 0);
  return ok ? 0 : 1;
}
