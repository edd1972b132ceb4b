#include "link/transfer_context.h"

namespace torvi {
namespace {
thread_local transfer_context* t_context = nullptr;
}  // namespace

transfer_scope::transfer_scope(transfer_context& context) : saved_(t_context) {
  t_context = &context;
}

transfer_scope::~transfer_scope() {
  t_context = saved_;
}

transfer_context* transfer_context_current() {
  return t_context;
}

}  // namespace torvi
