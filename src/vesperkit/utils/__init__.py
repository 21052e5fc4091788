"""vesperkit.utils"""
