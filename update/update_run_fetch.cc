// The archive transfers of the update run: continuation with Range, the
// failover across sources and the bounded retries.
#include <algorithm>
#include <chrono>
#include <climits>

#include "http/http_cli.h"
#include "platform/message_loop.h"
#include "update/archive_sources.h"
#include "update/integrity_format.h"
#include "update/partial_download.h"
#include "update/update_run.h"
#include "util/texts.h"

namespace qm::update {
namespace {

// Decides at the first byte of a reply whether it continues the bytes kept,
// starts the archive over, or is refused, before anything is stored.
class ReplyGate : public http::ReceiveStream {
 public:
  enum class Verdict { kUndecided, kAppend, kRestart, kWrongSpan, kChanged, kNotDocument };

  ReplyGate(http::THttpCli& http, PartialDownload& part, PartialRecord identity)
      : http_(http), part_(part), identity_(std::move(identity)) {}

  bool Write(const char* data, size_t size) override {
    if (verdict_ == Verdict::kUndecided) {
      verdict_ = Decide();
      if (verdict_ == Verdict::kRestart && !part_.Restart(Record())) {
        return false;
      }
      if (verdict_ == Verdict::kAppend) {
        part_.MarkSpliced();
      }
    }
    if (verdict_ != Verdict::kAppend && verdict_ != Verdict::kRestart) {
      return false;
    }
    return part_.Write(data, size);
  }
  std::string ErrorText() const override {
    switch (verdict_) {
      case Verdict::kWrongSpan:
        return "the server's Content-Range does not continue at byte " +
               std::to_string(part_.size());
      case Verdict::kChanged:
        return "the archive changed on the server";
      default:
        return part_.ErrorText();
    }
  }
  Verdict verdict() const { return verdict_; }

 private:
  // What the record of a fresh start says: the validators go with it, or a
  // later continuation could not tell another archive of the same length.
  std::optional<PartialRecord> Record() const {
    PartialRecord record = identity_;
    record.length = http_.StatusCode() == 206 ? http_.ContentRangeTotal() : http_.ContentLength();
    record.last_modified = http_.LastModified();
    record.etag = http_.ETag();
    return record.length > 0 ? std::optional<PartialRecord>(record) : std::nullopt;
  }

  Verdict Decide() const {
    const int status = http_.StatusCode();
    const int64_t kept = part_.size();
    if (status < 200 || status > 299) {
      return Verdict::kNotDocument;  // an error page: nothing of it is stored
    }
    if (status != 206) {
      return Verdict::kRestart;  // the whole document from its start
    }
    const int64_t first = http_.ContentRangeFirst();
    const int64_t total = http_.ContentRangeTotal();
    if (kept == 0 || !part_.record()) {
      return first == 0 && total > 0 && part_.size() == 0 ? Verdict::kRestart : Verdict::kWrongSpan;
    }
    if (first != kept) {
      return Verdict::kWrongSpan;
    }
    const PartialRecord& record = *part_.record();
    if (total != record.length) {
      return Verdict::kChanged;
    }
    // A digest from the manifest checks the whole at the end; without one
    // the validators must agree wherever both sides have them.
    if (!record.sha256.empty() && record.sha256 == identity_.sha256) {
      return Verdict::kAppend;
    }
    const std::string& modified = http_.LastModified();
    const std::string& etag = http_.ETag();
    if ((!modified.empty() && !record.last_modified.empty() && modified != record.last_modified) ||
        (!etag.empty() && !record.etag.empty() && etag != record.etag)) {
      return Verdict::kChanged;
    }
    return Verdict::kAppend;
  }

  http::THttpCli& http_;
  PartialDownload& part_;
  PartialRecord identity_;  // url, key, validators and digest of this reply
  Verdict verdict_ = Verdict::kUndecided;
};

}  // namespace

bool UpdateRun::FetchArchive(const std::string& url, const std::string& file) {
  const std::string key = ArchiveKey(download_base_, url);
  const bool checked = archive_hashes_.Checks(key);
  const std::string sha256 = archive_hashes_.Sha256(key);
  const std::vector<ArchiveSource> sources =
      ArchiveSources(server_, chosen_mirror_, url, default_base_url_);
  PartialDownload part(file, archive_limits.free_space_reserve, checked);
  part.Adopt(key, sha256);
  const std::string row_status = status_;
  std::string last_url = url;
  std::string last_reason;
  int attempts = 0;
  // Attempts of each source that moved the archive no further; only these
  // count against the limit and wait before the next round.
  std::vector<int> failures(sources.size(), 0);
  // Sources that answered this archive with a client error (404 and the
  // like): the document is not there, asking again will not change that.
  std::vector<bool> refused(sources.size(), false);
  // The most the partial has held: a reply that starts over (200) and
  // breaks before it passes this brought nothing new.
  int64_t high_water = part.size();
  uint32_t backoff_step = 0;
  bool wait_pending = false;
  for (;;) {
    bool tried = false;
    bool progressed = false;
    for (size_t k = 0; k < sources.size(); ++k) {
      const ArchiveSource& source = sources[k];
      if (refused[k] || failures[k] >= kMaxAttemptsPerSource ||
          dead_sources_.count(source.base) != 0) {
        continue;
      }
      if (attempts > 0) {
        ShowStatus(texts::kRetryingFromAnotherServer);
        if (wait_pending) {
          wait_pending = false;
          if (!WaitBeforeRetry(transfer_.retry_delay_s << std::min(backoff_step++, 2u))) {
            part.Keep();
            return false;
          }
        }
        ShowStatus(row_status);
      }
      tried = true;
      ++attempts;
      const AttemptResult result = Attempt(source, key, sha256, part);
      switch (result.kind) {
        case AttemptResult::kDone:
          return true;
        case AttemptResult::kCancelled:
          part.Keep();
          return false;
        case AttemptResult::kRowFailed:
          transfer_error_ = source.url + ": " + result.reason;
          part.Discard();
          state_.TransferStatus = kTransferFailed;
          return false;
        case AttemptResult::kSourceFailed:
          last_url = source.url;
          last_reason = result.reason;
          refused[k] = result.client_error;
          if (!result.body && live_sources_.count(source.base) == 0) {
            dead_sources_.insert(source.base);
          }
          if (result.discarded) {
            high_water = 0;
          }
          // A connection that breaks every so many bytes still brings the
          // archive home, at once and from where it broke; bounded, since
          // each such attempt adds at least kMinProgressBytes.
          if (!result.discarded && part.size() >= high_water + kMinProgressBytes) {
            high_water = part.size();
            progressed = true;
          } else {
            ++failures[k];
          }
          break;
      }
    }
    if (!tried) {
      break;
    }
    wait_pending = !progressed;
  }
  // A row that failed on its one attempt fails as it always did; after
  // retries or other sources the box says where and why it ended.
  if (attempts > 1 && !last_reason.empty()) {
    transfer_error_ = last_url + ": " + last_reason;
  }
  part.Keep();
  state_.TransferStatus = kTransferFailed;
  return false;
}

UpdateRun::AttemptResult UpdateRun::Attempt(const ArchiveSource& source,
                                            const std::string& key,
                                            const std::string& sha256,
                                            PartialDownload& part) {
  AttemptResult result;
  if (Cancelled()) {
    result.kind = AttemptResult::kCancelled;
    return result;
  }
  PartialRecord identity;
  identity.url = source.url;
  identity.key = key;
  identity.sha256 = sha256;
  ReplyGate gate(http_, part, identity);
  if (part.size() > 0) {
    http_.ContentRangeBegin = std::to_string(part.size());
  }
  const bool received = Transfer(source.url, gate);
  http_.ContentRangeBegin.clear();
  result.body = http_.BodyReceived();
  if (result.body) {
    live_sources_.insert(source.base);
  }
  if (Cancelled()) {
    result.kind = AttemptResult::kCancelled;
    return result;
  }
  if (part.storage_failed()) {
    result.kind = AttemptResult::kRowFailed;
    result.reason = part.ErrorText();
    return result;
  }
  if (gate.verdict() == ReplyGate::Verdict::kChanged) {
    part.Discard();  // the next attempt starts from byte 0
    result.discarded = true;
  }
  const bool refused = gate.verdict() == ReplyGate::Verdict::kWrongSpan ||
                       gate.verdict() == ReplyGate::Verdict::kChanged;
  if (!received || refused) {
    result.reason = http_.ReasonPhrase();
    // The client reports its own failures as 404 too: the reply's own
    // status line tells them apart.
    const int status = http_.ReplyStatusCode();
    result.client_error = status >= 400 && status <= 499;
    if (gate.verdict() == ReplyGate::Verdict::kWrongSpan ||
        gate.verdict() == ReplyGate::Verdict::kChanged) {
      result.reason = gate.ErrorText();
    }
    return result;
  }
  if (gate.verdict() == ReplyGate::Verdict::kUndecided) {
    // An empty document: nothing kept belongs to it.
    part.Restart(std::nullopt);
  }
  if (part.record() && part.size() != part.record()->length) {
    result.reason = "the archive ended after " + std::to_string(part.size()) + " of " +
                    std::to_string(part.record()->length) + " bytes";
    return result;
  }
  if (part.hashed()) {
    const std::string problem =
        archive_hashes_.Problem(key, static_cast<uint64_t>(part.size()), part.Final());
    if (!problem.empty()) {
      const bool spliced = part.spliced();
      part.Discard();
      result.discarded = true;
      result.reason = problem;
      if (!spliced) {
        // A whole transfer that fails its check fails the row as today.
        result.kind = AttemptResult::kRowFailed;
      }
      return result;
    }
  }
  part.Finish();
  result.kind = AttemptResult::kDone;
  return result;
}

bool UpdateRun::WaitBeforeRetry(uint32_t seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  for (;;) {
    platform::ProcessMessages();
    if (Cancelled()) {
      return false;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) {
      return true;
    }
    platform::WaitForMessages(static_cast<int>(std::min<int64_t>(left, INT_MAX)));
  }
}

}  // namespace qm::update
