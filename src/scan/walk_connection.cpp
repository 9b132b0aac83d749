#include "scan/walk_connection.h"

namespace {
thread_local SqliteDatabase* t_walkConnection = nullptr;
}

WalkConnection::WalkConnection() {
  if (t_walkConnection) {
    db_ = t_walkConnection;
    return;
  }
  own_ = OpenCatalogue();
  if (!own_) return;
  own_->StartWriteBehind();
  db_ = t_walkConnection = own_.get();
}

WalkConnection::~WalkConnection() {
  if (own_) t_walkConnection = nullptr;
}
