// OpenSSL, loaded when the first TLS session is set up instead of at program start:
// a run without TLS (and --version) maps no TLS library and pays nothing for it.
// The functions the TLS session calls are reached through one table; after this
// header their names stand for the table's entries, so the session's code reads as
// plain OpenSSL calls. Include it last, after every other header.
#pragma once

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#define TARVEX_OPENSSL_FUNCTIONS(X)                                                                          \
  X(BIO_clear_flags) X(BIO_get_data) X(BIO_get_new_index) X(BIO_meth_new) X(BIO_meth_set_create)              \
  X(BIO_meth_set_ctrl) X(BIO_meth_set_read) X(BIO_meth_set_write) X(BIO_new) X(BIO_set_data) X(BIO_set_flags) \
  X(BIO_set_init) X(ERR_clear_error) X(ERR_error_string) X(ERR_get_error) X(ERR_peek_error)                   \
  X(ERR_reason_error_string) X(SSL_CTX_ctrl) X(SSL_CTX_free) X(SSL_CTX_load_verify_locations) X(SSL_CTX_new)  \
  X(SSL_CTX_set_default_verify_paths) X(SSL_CTX_set_options) X(SSL_CTX_set_verify) X(SSL_connect) X(SSL_ctrl) \
  X(SSL_free) X(SSL_get0_param) X(SSL_get_error) X(SSL_get_verify_mode) X(SSL_get_verify_result)             \
  X(SSL_is_init_finished) X(SSL_new) X(SSL_pending) X(SSL_read) X(SSL_set1_host) X(SSL_set_bio)               \
  X(SSL_set_connect_state) X(SSL_shutdown) X(SSL_write) X(TLS_client_method) X(X509_VERIFY_PARAM_set1_ip_asc) \
  X(X509_verify_cert_error_string)

struct TOpenSsl {
#define TARVEX_OPENSSL_ENTRY(name) decltype(&::name) name = nullptr;
  TARVEX_OPENSSL_FUNCTIONS(TARVEX_OPENSSL_ENTRY)
#undef TARVEX_OPENSSL_ENTRY
};

// The table, the library loaded on the first call (thread-safe). Throws ETlsError
// (Setup) naming the library when it cannot be loaded or lacks a function; the next
// call tries again.
const TOpenSsl& OpenSsl();

// The loader itself sees the real names.
#ifndef TARVEX_OPENSSL_LOADER
#define BIO_clear_flags (OpenSsl().BIO_clear_flags)
#define BIO_get_data (OpenSsl().BIO_get_data)
#define BIO_get_new_index (OpenSsl().BIO_get_new_index)
#define BIO_meth_new (OpenSsl().BIO_meth_new)
#define BIO_meth_set_create (OpenSsl().BIO_meth_set_create)
#define BIO_meth_set_ctrl (OpenSsl().BIO_meth_set_ctrl)
#define BIO_meth_set_read (OpenSsl().BIO_meth_set_read)
#define BIO_meth_set_write (OpenSsl().BIO_meth_set_write)
#define BIO_new (OpenSsl().BIO_new)
#define BIO_set_data (OpenSsl().BIO_set_data)
#define BIO_set_flags (OpenSsl().BIO_set_flags)
#define BIO_set_init (OpenSsl().BIO_set_init)
#define ERR_clear_error (OpenSsl().ERR_clear_error)
#define ERR_error_string (OpenSsl().ERR_error_string)
#define ERR_get_error (OpenSsl().ERR_get_error)
#define ERR_peek_error (OpenSsl().ERR_peek_error)
#define ERR_reason_error_string (OpenSsl().ERR_reason_error_string)
#define SSL_CTX_ctrl (OpenSsl().SSL_CTX_ctrl)
#define SSL_CTX_free (OpenSsl().SSL_CTX_free)
#define SSL_CTX_load_verify_locations (OpenSsl().SSL_CTX_load_verify_locations)
#define SSL_CTX_new (OpenSsl().SSL_CTX_new)
#define SSL_CTX_set_default_verify_paths (OpenSsl().SSL_CTX_set_default_verify_paths)
#define SSL_CTX_set_options (OpenSsl().SSL_CTX_set_options)
#define SSL_CTX_set_verify (OpenSsl().SSL_CTX_set_verify)
#define SSL_connect (OpenSsl().SSL_connect)
#define SSL_ctrl (OpenSsl().SSL_ctrl)
#define SSL_free (OpenSsl().SSL_free)
#define SSL_get0_param (OpenSsl().SSL_get0_param)
#define SSL_get_error (OpenSsl().SSL_get_error)
#define SSL_get_verify_mode (OpenSsl().SSL_get_verify_mode)
#define SSL_get_verify_result (OpenSsl().SSL_get_verify_result)
#define SSL_is_init_finished (OpenSsl().SSL_is_init_finished)
#define SSL_new (OpenSsl().SSL_new)
#define SSL_pending (OpenSsl().SSL_pending)
#define SSL_read (OpenSsl().SSL_read)
#define SSL_set1_host (OpenSsl().SSL_set1_host)
#define SSL_set_bio (OpenSsl().SSL_set_bio)
#define SSL_set_connect_state (OpenSsl().SSL_set_connect_state)
#define SSL_shutdown (OpenSsl().SSL_shutdown)
#define SSL_write (OpenSsl().SSL_write)
#define TLS_client_method (OpenSsl().TLS_client_method)
#define X509_VERIFY_PARAM_set1_ip_asc (OpenSsl().X509_VERIFY_PARAM_set1_ip_asc)
#define X509_verify_cert_error_string (OpenSsl().X509_verify_cert_error_string)
#endif
