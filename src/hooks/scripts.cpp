#include "hooks/scripts.hpp"

namespace brenik::hooks::scripts {

namespace {

// Kept in step with the vocabulary of services/attestation_fields: the task
// types, provenance types, rule statuses and change primitives named here
// are the ones the validator accepts (a unit test holds them together).
constexpr const char* EXAMPLE_ATTESTATION = R"yaml(---
# Pending attestation. `brenik attest` writes it from flags (see
# `brenik attest --help`), or write it by hand to
# .brenik/.commit-attestation.yaml right before `git commit`. The commit's
# post-commit processing files it with the commit record and removes it.
# Developer identity, agent session id and telemetry are added there:
# do not write them here.

# Required. SHA-256 of exactly what is staged, in lowercase hex. Compute it
# after the last `git add`, right before committing:
#   git diff --staged | shasum -a 256 | cut -d' ' -f1
# (`sha256sum` gives the same digest). The attestation belongs to the commit
# whose patch hashes to this value; stage anything else and it must be
# computed again. (The value below is the hash of an empty diff.)
staged_diff_hash: e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855

# When the attestation was written: ISO 8601, UTC. `brenik attest` fills in
# the current time when --timestamp is not given.
timestamp: '2025-01-15T10:30:00Z'

# Required. The model that wrote the change, as its provider names it.
agent_model: claude-opus-4-6

# Optional. The agent harness (claude-code, cursor, aider, ...), the model
# provider (anthropic, openai, ...) and an identifier of this agent
# instance. Left out, agent and provider are filled from the active agent
# adapter at sync.
agent: claude-code
agent_provider: anthropic
agent_id: backend-agent-1

# Optional. Where the request came from:
#   type: spec     a change spec; ref is its slug (required)
#         ticket   an issue-tracker ticket; ref is its id (required)
#         bug-fix  a reported bug; ref names the report when there is one
#         ad-hoc   nothing written down; ref may be left out
provenance:
  type: spec
  ref: add-rate-limiting

# Optional. What kind of change this is, as opposed to where the request
# came from: feature, bug-fix, refactor, docs, test or chore.
task_type: feature

# Expected. Which project rules were consulted.
#   checked: true when the project rules were read before making the change
#   applicable: the rules that bear on this change; each is a rule id, or a
#     mapping with id (or name), status and, for a deviation, a note why:
#       status: followed | deviated | not-applicable
rules:
  checked: true
  applicable:
  - id: api-rate-limits
    status: followed
  - id: no-new-runtime-dependencies
    status: deviated
    note: Redis is already approved for the session store
  - id: frontend-accessibility
    status: not-applicable
  - naming-conventions

# Optional. What the change does to the system, by change primitive
# (keys other than these five are dropped):
#   architecture  components, services, modules and how they connect
#   data_model    tables, schemas, persisted records and their fields
#   interfaces    endpoints, commands, public functions, events
#   dependencies  libraries, services and tools the code relies on
#   decisions     design decisions taken, revised or reverted
# Each holds `elements`, a list of:
#   name          what changed (required)
#   change        added | modified | removed (required)
#   description   one line: what changed and why
#   fact_changes  optional; facts about the element that this change
#                 makes true or false, each list optional:
#                   add     facts that hold from now on
#                   update  facts that now read differently
#                   remove  facts that no longer hold
changes:
  architecture:
    elements:
    - name: auth-rate-limiter
      change: added
      description: Token-bucket limiter in front of the auth endpoints
      fact_changes:
        add:
        - Auth endpoints accept at most 10 requests per minute per client IP
        update:
        - The auth service depends on Redis for shared counters
        remove: []
  data_model:
    elements:
    - name: ratelimit:<ip> keys
      change: added
      description: Per-IP counters in Redis, expiring after one minute
  interfaces:
    elements:
    - name: POST /auth/login
      change: modified
      description: Answers 429 with Retry-After once the limit is reached
  dependencies:
    elements:
    - name: redis
      change: added
      description: Holds the limiter's counters shared between instances
  decisions:
    elements:
    - name: Limit per client IP, not per account
      change: added
      description: A third party must not be able to lock a user out

# Required. One line (at most about 200 characters): what the commit
# changes and why it matters.
summary: Added rate limiting to auth endpoints
---
)yaml";

}  // namespace

std::string example_attestation() { return EXAMPLE_ATTESTATION; }

}  // namespace brenik::hooks::scripts
