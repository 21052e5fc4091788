"""Seeded generator of realistic conversation sessions (memory dicts).

Shared by the concept mesh benchmarks, the tests that want realistic input and
the demo. Sessions are grouped into topics, and topics into domains:

* tags, entities and key points come mostly from the session's topic, each
  drawn with Zipf-like frequencies (a few common items, a long tail), plus a
  few from package-wide Zipf vocabularies whose size grows with the number of
  sessions, so that cross-topic links stay occasional at every size;
* embeddings are unit vectors scattered around a topic centre, which sits near
  its domain centre: sessions of one topic are often similar enough for the
  embedding term, sessions of different topics almost never.

With the mesh's default tuning a mesh built from ``make_sessions(n)`` has about
20 to 50 edges per node for any n from a few hundred to several thousand
(``python benchmarks/workload.py`` prints the figures). The same seed always
gives the same sessions, on any platform (only the ``random`` module is used).
"""

from __future__ import annotations

import argparse
import bisect
import itertools
import json
import math
import random
from datetime import datetime, timedelta
from typing import Any

DEFAULT_DIM = 384
DEFAULT_SESSIONS_PER_TOPIC = 32

# Domains: nouns for topic tags, entities (people, products, systems) and the
# phrases that key points and summaries are made of.
DOMAINS: dict[str, dict[str, list[str]]] = {
    "database": {
        "nouns": ["postgres", "index", "migration", "replica", "query-plan", "vacuum", "connection-pool",
                  "partition", "backup", "schema", "deadlock", "pgvector"],
        "entities": ["PostgreSQL", "PgBouncer", "Aurora", "TimescaleDB", "pgvector", "Debezium", "Flyway"],
        "actions": ["reduce lock contention", "speed up the nightly report", "cut replica lag",
                    "shrink table bloat", "plan the major-version upgrade", "tune autovacuum"],
    },
    "infrastructure": {
        "nouns": ["kubernetes", "autoscaling", "helm", "ingress", "terraform", "node-pool", "dns", "cdn",
                  "load-balancer", "cost", "spot-instance", "observability"],
        "entities": ["Kubernetes", "Terraform", "AWS", "GCP", "Cloudflare", "Grafana", "Prometheus", "ArgoCD"],
        "actions": ["stop pods from being evicted", "lower the cloud bill", "roll out the new cluster",
                    "fix flapping health checks", "move secrets out of the repo", "set up alerting"],
    },
    "frontend": {
        "nouns": ["react", "bundle-size", "accessibility", "css", "hydration", "forms", "routing",
                  "design-system", "i18n", "web-vitals", "state", "typescript"],
        "entities": ["React", "Next.js", "Vite", "Storybook", "Tailwind", "Figma", "Playwright"],
        "actions": ["make the checkout page load faster", "fix the screen-reader labels", "split the bundle",
                    "translate the settings page", "remove layout shift", "migrate to the new router"],
    },
    "ml": {
        "nouns": ["embeddings", "fine-tuning", "evaluation", "retrieval", "prompt", "tokenizer", "drift",
                  "labeling", "inference", "quantization", "reranking", "dataset"],
        "entities": ["PyTorch", "Hugging Face", "ONNX", "Weights & Biases", "scikit-learn", "vLLM", "FAISS"],
        "actions": ["improve recall on long queries", "halve inference latency", "clean the training labels",
                    "track model drift weekly", "pick an embedding model", "build an offline eval set"],
    },
    "billing": {
        "nouns": ["invoice", "subscription", "refund", "tax", "dunning", "proration", "currency",
                  "payment-method", "chargeback", "pricing", "coupon", "ledger"],
        "entities": ["Stripe", "Chargebee", "QuickBooks", "Avalara", "Adyen", "NetSuite"],
        "actions": ["stop double charges", "handle VAT for EU customers", "retry failed payments",
                    "explain proration to support", "reconcile the ledger", "launch annual plans"],
    },
    "security": {
        "nouns": ["sso", "mfa", "api-key", "audit-log", "encryption", "pentest", "rbac", "secrets",
                  "vulnerability", "compliance", "session", "oauth"],
        "entities": ["Okta", "Vault", "Snyk", "SOC 2", "OWASP", "Auth0", "1Password"],
        "actions": ["rotate the leaked key", "pass the SOC 2 audit", "enforce MFA for admins",
                    "scope API keys per tenant", "triage the pentest report", "encrypt backups at rest"],
    },
    "mobile": {
        "nouns": ["ios", "android", "push-notification", "offline", "crash", "app-store", "deep-link",
                  "battery", "sync", "release-train", "permissions", "widget"],
        "entities": ["Swift", "Kotlin", "Firebase", "TestFlight", "React Native", "Crashlytics", "Expo"],
        "actions": ["fix the startup crash", "get through app review", "sync notes offline",
                    "cut battery drain", "ship the home-screen widget", "handle notification opt-in"],
    },
    "analytics": {
        "nouns": ["dashboard", "funnel", "retention", "cohort", "event-tracking", "warehouse", "dbt",
                  "attribution", "a-b-test", "kpi", "churn", "forecast"],
        "entities": ["Snowflake", "dbt", "Looker", "Amplitude", "BigQuery", "Metabase", "Segment"],
        "actions": ["explain the retention dip", "define the activation metric", "speed up the dbt run",
                    "size the A/B test", "clean up duplicate events", "forecast next quarter"],
    },
    "support": {
        "nouns": ["ticket", "escalation", "sla", "macro", "knowledge-base", "onboarding", "feedback",
                  "csat", "triage", "handoff", "chatbot", "refund-request"],
        "entities": ["Zendesk", "Intercom", "Slack", "Jira", "Notion", "Front"],
        "actions": ["shorten first response time", "write the onboarding guide", "route urgent tickets",
                    "close the feedback loop", "train the new agents", "tame the backlog"],
    },
    "product": {
        "nouns": ["roadmap", "pricing-page", "user-research", "okr", "launch", "beta", "persona",
                  "prioritization", "prd", "interview", "positioning", "competitor"],
        "entities": ["Linear", "Productboard", "Miro", "Dovetail", "Amplitude", "Notion"],
        "actions": ["decide what goes into Q3", "plan the public beta", "write the launch brief",
                    "synthesise the interviews", "rework the pricing tiers", "size the opportunity"],
    },
}

QUALIFIERS = ["tuning", "outage", "rollout", "cleanup", "review", "limits", "errors", "latency", "plan",
              "design", "budget", "bug", "alerts", "docs", "metrics", "policy", "refactor", "upgrade",
              "testing", "rollback", "audit", "costs", "strategy", "debt", "playbook", "pilot", "retro",
              "sizing", "workflow", "defaults"]
GLOBAL_WORDS = ["urgent", "customer-facing", "follow-up", "quick-win", "blocked", "needs-decision", "q3",
                "q4", "postmortem", "experiment", "tech-debt", "hiring", "vendor", "compliance-review",
                "migration-window", "weekend", "handover", "demo", "okr-review", "incident"]
FIRST_NAMES = ["Ana", "Bruno", "Chen", "Dara", "Elif", "Farid", "Greta", "Hiro", "Ines", "Jonas", "Kemi",
               "Luca", "Maya", "Nils", "Olga", "Priya", "Quinn", "Rafa", "Sana", "Tomas", "Uma", "Viktor",
               "Wen", "Yusuf", "Zoe"]
LAST_NAMES = ["Silva", "Novak", "Okafor", "Lindqvist", "Haddad", "Moreau", "Tanaka", "Kowalski", "Reyes",
              "Schmidt", "Ivanova", "Mensah", "Park", "Rossi", "Nakamura", "Fischer"]
ENTITY_VARIANTS = ["API", "SDK", "Cloud", "EU", "staging", "v2", "Enterprise", "CLI", "prod", "sandbox",
                   "mobile", "legacy", "beta", "console", "US", "plugin"]
ORIGINS = ["chat", "voice", "email", "slack", "api", "import"]
KEY_POINT_FORMS = [
    "Agreed to {action} before the next release.",
    "{entity} is the main constraint when we {action}.",
    "The {noun} {qualifier} needs an owner.",
    "Decided against changing the {noun} until we {action}.",
    "Numbers for the {noun} {qualifier} come from {entity}.",
    "Follow up with {person} about the {noun} {qualifier}.",
]
SUMMARY_FORMS = [
    "Talked through how to {action}; most of the time went on the {noun} {qualifier} and what {entity} allows.",
    "{person} asked for help to {action}. We compared options around the {noun} {qualifier}.",
    "Working session on the {noun} {qualifier} with {person}: the goal is to {action}.",
    "Reviewed the {noun} {qualifier} after last week's findings and agreed how to {action}.",
    "Short sync about {entity} and the {noun} {qualifier}; next step is to {action}.",
]


class _Zipf:
    """Draws indexes 0..n-1 with weights 1/(k+1)**s (index 0 most frequent)."""

    def __init__(self, n: int, s: float) -> None:
        self.cum = list(itertools.accumulate(1.0 / (k + 1) ** s for k in range(n)))

    def draw(self, rng: random.Random) -> int:
        return bisect.bisect_left(self.cum, rng.random() * self.cum[-1])

    def sample(self, rng: random.Random, k: int) -> list[int]:
        """k distinct indexes (fewer when the vocabulary is smaller)."""
        k = min(k, len(self.cum))
        picked: list[int] = []
        while len(picked) < k:
            i = self.draw(rng)
            if i not in picked:
                picked.append(i)
        return picked


def _unit(v: list[float]) -> list[float]:
    norm = math.sqrt(math.fsum(x * x for x in v))
    return [x / norm for x in v]


def _gauss_vector(rng: random.Random, dim: int) -> list[float]:
    return [rng.gauss(0.0, 1.0) for _ in range(dim)]


def _mix(base: list[float], noise: list[float], scale: float) -> list[float]:
    return _unit([b + scale * n for b, n in zip(base, noise)])


class _Topic:
    def __init__(self, rng: random.Random, index: int, domain: str, centre: list[float],
                 used_tags: set[str], used_people: set[str], entity_pool: list[str]) -> None:
        d = DOMAINS[domain]
        self.index = index
        self.domain = domain
        self.centre = centre
        self.tags: list[str] = []
        # Topic tags pair a domain noun with a qualifier; a tag belongs to one
        # topic only, so shared tags mostly join sessions of the same topic.
        while len(self.tags) < 7:
            tag = f"{rng.choice(d['nouns'])}-{rng.choice(QUALIFIERS)}"
            if tag in used_tags:
                # Once this domain's pairs are all taken, number the tag
                # instead of drawing again (the draw would never end).
                if all(f"{noun}-{q}" in used_tags for noun in d["nouns"] for q in QUALIFIERS):
                    tag = f"{tag}-{index}"
                else:
                    continue
            used_tags.add(tag)
            self.tags.append(tag)
        # People belong to one topic; products and systems come from a domain
        # pool that grows with the number of topics, so each is shared by a
        # handful of topics rather than by a whole domain.
        self.people = []
        while len(self.people) < 4:
            person = f"{rng.choice(FIRST_NAMES)} {rng.choice(LAST_NAMES)}"
            if person in used_people:
                person = f"{rng.choice(FIRST_NAMES)} {chr(65 + rng.randrange(26))}. {rng.choice(LAST_NAMES)}"
            if person not in used_people:
                used_people.add(person)
                self.people.append(person)
        self.entities = self.people + [entity_pool[k] for k in _Zipf(len(entity_pool), 0.8).sample(rng, 3)]
        self.key_points = []
        for _ in range(8):
            self.key_points.append(rng.choice(KEY_POINT_FORMS).format(
                action=rng.choice(d["actions"]), entity=rng.choice(d["entities"]),
                noun=rng.choice(d["nouns"]), qualifier=rng.choice(QUALIFIERS),
                person=rng.choice(self.people)))
        # Key points sometimes carry the topic number so that two topics rarely
        # produce the same sentence.
        self.key_points = [kp if i % 2 else f"{kp[:-1]} (#{index})." for i, kp in enumerate(self.key_points)]


def make_sessions(
    n: int,
    *,
    dim: int = DEFAULT_DIM,
    seed: int = 0,
    sessions_per_topic: int = DEFAULT_SESSIONS_PER_TOPIC,
    tenants: int = 3,
    users_per_tenant: int = 5,
    start: datetime = datetime(2025, 1, 6, 9, 0, 0),
    embedding_digits: int | None = None,
    supersede_rate: float = 0.03,
) -> list[dict[str, Any]]:
    """``n`` memory dicts with every key the mesh and the vector store read.

    ``dim`` is the embedding width; ``sessions_per_topic`` the mean topic size
    (it sets the typical degree); ``embedding_digits`` rounds the vector
    components (for compact JSON); ``supersede_rate`` is the share of memories
    that replace an earlier one ("superseded_by" and "valid_until" on the older
    one). The same arguments always give the same list.
    """
    rng = random.Random(seed)
    n_topics = max(1, round(n / sessions_per_topic))
    domain_names = list(DOMAINS)
    domain_centres = {name: _unit(_gauss_vector(rng, dim)) for name in domain_names}
    used_tags: set[str] = set()
    used_people: set[str] = set()
    pool_size = max(8, 2 * math.ceil(n_topics / len(domain_names)))
    entity_pools = {}
    for name in domain_names:
        base = DOMAINS[name]["entities"]
        variants = [f"{b} {v}" for v in ENTITY_VARIANTS for b in base]
        entity_pools[name] = (base + variants)[:max(len(base), pool_size)]
    topics = []
    for t in range(n_topics):
        domain = domain_names[t % len(domain_names)]
        centre = _mix(domain_centres[domain], _gauss_vector(rng, dim), 1.0 / math.sqrt(dim) * 1.1)
        topics.append(_Topic(rng, t, domain, centre, used_tags, used_people, entity_pools[domain]))
    # Topics are of uneven popularity, but none dominates at any size.
    topic_cum = list(itertools.accumulate(rng.uniform(0.6, 1.4) for _ in range(n_topics)))
    tag_zipf = _Zipf(7, 1.1)
    entity_zipf = _Zipf(7, 1.0)
    kp_zipf = _Zipf(8, 1.3)
    # Package-wide vocabularies grow with n, so their share of links stays small.
    n_global = max(len(GLOBAL_WORDS), n // 3)
    global_tags = GLOBAL_WORDS + [f"{rng.choice(GLOBAL_WORDS)}-{k}" for k in range(n_global - len(GLOBAL_WORDS))]
    global_tag_zipf = _Zipf(len(global_tags), 1.05)
    n_orgs = max(10, n // 4)
    orgs = [f"{rng.choice(LAST_NAMES)} {rng.choice(['Labs', 'Systems', 'GmbH', 'Inc', 'Health', 'Retail'])} {k}"
            for k in range(n_orgs)]
    org_zipf = _Zipf(n_orgs, 1.05)

    sessions: list[dict[str, Any]] = []
    when = start
    for i in range(n):
        topic = topics[min(n_topics - 1, bisect.bisect_left(topic_cum, rng.random() * topic_cum[-1]))]
        d = DOMAINS[topic.domain]
        tags = [topic.tags[k] for k in tag_zipf.sample(rng, rng.randint(1, 3))]
        if rng.random() < 0.12:
            tags.append(global_tags[global_tag_zipf.draw(rng)])
        if rng.random() < 0.3:
            # Sessions often carry a near-duplicate spelling; the mesh normalises it.
            tags[0] = tags[0].upper() if rng.random() < 0.5 else f" {tags[0]} "
        entities = [topic.entities[k] for k in entity_zipf.sample(rng, rng.randint(0, 2))]
        if rng.random() < 0.1:
            entities.append(orgs[org_zipf.draw(rng)])
        key_points = [topic.key_points[k] for k in kp_zipf.sample(rng, rng.randint(0, 2))]
        person = rng.choice(topic.people)
        noun, qualifier = tags[0].strip().lower().rsplit("-", 1)
        summary = rng.choice(SUMMARY_FORMS).format(
            action=rng.choice(d["actions"]), entity=rng.choice(d["entities"]), noun=noun,
            qualifier=qualifier, person=person)
        spread = rng.uniform(0.4, 0.9)
        embedding = _mix(topic.centre, _gauss_vector(rng, dim), spread / math.sqrt(dim))
        if embedding_digits is not None:
            embedding = [round(x, embedding_digits) for x in embedding]
        when += timedelta(minutes=rng.randint(5, 600))
        tenant = rng.randrange(tenants)
        user = rng.randrange(users_per_tenant)
        session_id = f"sess-{seed:x}-{i:06d}"
        memoria: dict[str, Any] = {
            "id": f"mem-{seed:x}-{i:06d}",
            "summary": summary,
            "created_at": when.isoformat(),
            "tags": tags,
            "entities": entities,
            "key_points": key_points,
            "embedding": embedding,
            "tenant_id": f"tenant-{tenant}",
            "user_id": f"user-{tenant}-{user}",
            "source": {"session_id": session_id, "author": person, "origin": rng.choice(ORIGINS)},
        }
        if sessions and rng.random() < supersede_rate:
            # A few memories replace an earlier one on the same topic.
            memoria["superseded_by"] = None
            older = rng.choice(sessions[-50:])
            older["superseded_by"] = memoria["id"]
            older["valid_until"] = memoria["created_at"]
        sessions.append(memoria)
    return sessions


def edge_profile(sessions: list[dict[str, Any]], threshold: float = 0.75) -> dict[str, float]:
    """Edge figures of the mesh that the default tuning would build (needs numpy).

    A pair is joined when it shares a normalised tag, entity or key point, or
    when its cosine similarity reaches ``threshold``.
    """
    import numpy as np

    from vesperkit.utils.text import normalize_items

    n = len(sessions)
    emb = np.asarray([s["embedding"] for s in sessions], dtype=np.float64)
    emb /= np.linalg.norm(emb, axis=1)[:, None]
    sims = emb @ emb.T
    linked = sims >= threshold
    by_embedding = linked.copy()
    for key in ("tags", "entities", "key_points"):
        owners: dict[str, list[int]] = {}
        for i, s in enumerate(sessions):
            for item in normalize_items(s.get(key, [])):
                owners.setdefault(item, []).append(i)
        for members in owners.values():
            idx = np.asarray(members)
            linked[np.ix_(idx, idx)] = True
    np.fill_diagonal(linked, False)
    np.fill_diagonal(by_embedding, False)
    edges = int(linked.sum()) // 2
    return {
        "sessions": n,
        "edges": edges,
        "edges_per_node": 2 * edges / max(1, n),
        "embedding_only_share": float((by_embedding & linked).sum()) / max(1, 2 * edges),
        "mean_offdiag_similarity": float((sims.sum() - n) / max(1, n * (n - 1))),
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[300, 1000, 2000, 5000])
    parser.add_argument("--dim", type=int, default=DEFAULT_DIM)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--write-demo", metavar="PATH",
                        help="write the demo's 24 sample sessions (16-wide embeddings) to PATH and stop")
    args = parser.parse_args()
    if args.write_demo:
        sessions = make_sessions(24, dim=16, seed=9, sessions_per_topic=6, embedding_digits=4,
                                 supersede_rate=0.1)
        with open(args.write_demo, "w", encoding="utf-8") as fh:
            json.dump(sessions, fh, indent=2, ensure_ascii=False)
            fh.write("\n")
        return
    print(f"{'sessions':>9} {'edges':>9} {'edges/node':>11} {'sim>=thr share':>15} {'mean sim':>9}")
    for n in args.sizes:
        p = edge_profile(make_sessions(n, dim=args.dim, seed=args.seed))
        print(f"{p['sessions']:>9} {p['edges']:>9} {p['edges_per_node']:>11.1f} "
              f"{p['embedding_only_share']:>15.2f} {p['mean_offdiag_similarity']:>9.3f}")


if __name__ == "__main__":
    main()
