"""vesperkit.auth"""
