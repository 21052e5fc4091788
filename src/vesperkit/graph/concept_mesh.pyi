"""Graph of conversation sessions: edges from shared tags, entities, key points
and embedding similarity; scores, rankings, export and strongest paths."""

import heapq as heapq
import math as math
from dataclasses import dataclass as dataclass
from dataclasses import field as field
from types import ModuleType
from typing import Any, Dict as Dict, List as List, Optional as Optional, Set as Set, Tuple as Tuple, TypedDict

# Host helpers, looked up in this module at every call (replaceable by callers).
def normalize_items(items: Any) -> set[str]: ...
def cosine_similarity(a: Any, b: Any) -> float: ...

# numpy, or None when it is not installed.
np: ModuleType | None

def _similarity_matrix(embeddings: list[Any]) -> list[list[float]]:
    """Pairwise cosine similarities of a list of vectors, as nested lists of floats."""

def _density_entropy(values: list[float], n_bins: int = 10) -> float:
    """Normalised Shannon entropy (0 to 1) of values binned over [0, max(values)]."""

class _EdgeData(TypedDict):
    """A neighbours entry: a snapshot of the edge record, shared by both endpoints."""

    shared_tags: int
    shared_entities: int
    shared_key_points: int
    embedding_similarity: float
    weight: float

@dataclass
class GraphNode:
    """One conversation session of the mesh."""

    session_id: str
    summary: str
    created_at: Optional[str] = None
    tags: Set[str] = field(default_factory=set)
    entities: Set[str] = field(default_factory=set)
    key_points: Set[str] = field(default_factory=set)
    embedding: List[float] = field(default_factory=list)
    memoria: Dict[str, Any] = field(default_factory=dict)
    density: float = 0.0
    centrality: float = 0.0
    neighbors: Dict[str, _EdgeData] = field(default_factory=dict)

@dataclass
class GraphEdge:
    """The record of one edge: shared counts, best similarity, weight."""

    shared_tags: int = 0
    shared_entities: int = 0
    shared_key_points: int = 0
    embedding_similarity: float = 0.0
    weight: float = 0.0

def _short(text: str, limit: int) -> str:
    """`text` cut to `limit` characters with an ellipsis; a limit of 0 or less keeps it whole."""

class _MeshStats(TypedDict):
    total_nodes: int
    total_edges: int
    total_conversations: int
    avg_density: float
    avg_centrality: float
    global_density: float
    density_entropy: float
    top_density: List[Tuple[str, float]]
    top_centrality: List[Tuple[str, float]]

class _NodeRecord(TypedDict):
    id: str
    summary: str
    created_at: Optional[str]
    tags: List[str]
    entities: List[str]
    density: float
    centrality: float
    superseded_by: Any
    valid_until: Any
    author: Any
    origin: Any

_EdgeRecord = TypedDict(
    "_EdgeRecord",
    {
        "source": str,
        "target": str,
        "weight": float,
        "shared_tags": int,
        "shared_entities": int,
        "shared_key_points": int,
        "embedding_similarity": float,
    },
)

class _MeshView(TypedDict):
    nodes: List[_NodeRecord]
    edges: List[_EdgeRecord]
    total_nodes: int
    truncated: bool

class ConceptMesh:
    """Undirected weighted graph of conversation sessions.

    Edges come from shared tags, entities and key points and from embedding
    similarity; the tuning attributes are read at every edge update.
    """

    nodes: Dict[str, GraphNode]
    edges: Dict[Tuple[str, str], GraphEdge]
    total_conversations: int
    last_rebuild: None
    similarity_threshold: float
    tag_weight: float
    entity_weight: float
    key_point_weight: float
    embedding_weight: float

    def __init__(
        self,
        similarity_threshold: float = 0.75,
        tag_weight: float = 1.0,
        entity_weight: float = 1.2,
        key_point_weight: float = 1.1,
        embedding_weight: float = 2.5,
    ) -> None: ...
    def _ensure_node(self, memoria: Dict[str, Any]) -> GraphNode:
        """The node for memoria['id'], created from the memory dict when absent."""
    def _update_edge(
        self,
        session_a: str,
        session_b: str,
        shared_tags: int,
        shared_entities: int,
        shared_key_points: int,
        embedding_similarity: float,
    ) -> None:
        """Recompute the edge between two sessions; remove it when its weight is not above 0."""
    def add_conversation(self, memoria: Dict[str, Any]) -> GraphNode:
        """Add one session and recompute its edges against every other node."""
    def add_conversations(self, memorias: List[Dict[str, Any]]) -> List[GraphNode]:
        """Add a list of sessions and recompute every edge of the mesh."""
    def calculate_densities(self) -> None:
        """Recompute the density of every node."""
    def calculate_densities_for(self, node_ids: Set[str]) -> None:
        """Recompute the density of the listed nodes; unknown ids are ignored."""
    @staticmethod
    def _calculate_node_density(node: GraphNode) -> None:
        """Store the mean weight of the node's edges (0.0 without edges) as its density."""
    def calculate_centralities(self) -> None:
        """Recompute the centrality of every node."""
    def calculate_centralities_for(self, node_ids: Set[str]) -> None:
        """Recompute the centrality of the listed nodes; unknown ids are ignored."""
    def _calculate_node_centrality(self, node: GraphNode) -> None:
        """Store (degree * 0.4 + total weight * 0.6) / max(1, total_conversations)."""
    def get_top_density_nodes(self, limit: int = 20) -> List[Tuple[str, float]]:
        """Recompute densities; (summary, density) pairs, densest first."""
    def get_top_centrality_nodes(self, limit: int = 20) -> List[Tuple[str, float]]:
        """Recompute centralities; (summary, centrality) pairs, most central first."""
    def get_stats(self) -> _MeshStats:
        """Recompute both scores and return the statistics dict."""
    def to_dict(self, max_nodes: int = 300, max_edges_per_node: int = 8, summary_chars: int = 280) -> _MeshView:
        """A bounded plain-data view of the mesh for display."""
    def shortest_path(self, source_id: str, target_id: str) -> List[str]:
        """The strongest chain of session ids from source to target (edge distance 1/weight), or [] when there is none."""
    def clear(self) -> None:
        """Remove every node and edge; tuning values are kept."""
