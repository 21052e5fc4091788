"""vesperkit.graph"""
